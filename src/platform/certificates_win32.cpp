// The server's certificate, checked here because Schannel is told not to (manual
// validation): Wine's Schannel checks no server certificate at all, and its SSL
// policy passes a partial chain. Also the roots that TrustPemFile adds.
#include "certificates_win32.h"

#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform.h"
#include "tls.h"

namespace qws::platform {
namespace {

// SECURITY_FLAG_IGNORE_UNKNOWN_CA, which only wininet.h defines.
constexpr DWORD kIgnoreUnknownAuthority = 0x00000100;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kPemBegin[] = "-----BEGIN CERTIFICATE-----";
constexpr char kPemEnd[] = "-----END CERTIFICATE-----";
constexpr DWORD kPemFileLimit = 16 * 1024 * 1024;  // bytes: no trust file is larger

// The certificates TrustPemFile added, for the whole process.
std::once_flag trustedOnce;
HCERTSTORE trusted = nullptr;

HCERTSTORE Trusted() {
  std::call_once(trustedOnce, [] {
    trusted = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  });
  return trusted;
}

// A chain that is untrusted only because it ends at a certificate TrustPemFile
// added is trusted.
bool EndsAtAddedRoot(PCCERT_CHAIN_CONTEXT chain) {
  if (chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) return false;
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
  PCCERT_CONTEXT found =
      CertFindCertificateInStore(Trusted(), kEncoding, 0, CERT_FIND_EXISTING, root, nullptr);
  if (found == nullptr) return false;
  CertFreeCertificateContext(found);
  return true;
}

int32_t ChainFailure(DWORD status) {
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) return kTlsExpired;
  if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) {
    return kTlsUntrustedRoot;
  }
  if (status & CERT_TRUST_IS_REVOKED) return kTlsRevoked;
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return kTlsWrongUsage;
  return kTlsCertificateBad;
}

// Whether the certificate's subjectAltName holds the address; its names never
// count for one.
bool NamesAddress(PCCERT_CONTEXT server, const std::string& address) {
  const CERT_INFO* info = server->pCertInfo;
  const CERT_EXTENSION* extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (extension == nullptr ||
      !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                           &size)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
            entry.IPAddress.cbData == address.size() &&
            std::memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0;
  }
  LocalFree(names);
  return found;
}

// The SSL policy with the name, on a chain built with the added roots for a
// server's usage.
int32_t CheckChain(PCCERT_CONTEXT server, const std::wstring& host, const std::string& address,
                   HCERTSTORE extra) {
  LPSTR serverUsage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA parameters{};
  parameters.cbSize = sizeof parameters;
  parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
  parameters.RequestedUsage.Usage.rgpszUsageIdentifier = serverUsage;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, server, nullptr, extra, &parameters, 0, nullptr, &chain)) {
    return kTlsCertificateBad;
  }
  DWORD status = chain->TrustStatus.dwErrorStatus;
  DWORD ignore = 0;
  if ((status & CERT_TRUST_IS_UNTRUSTED_ROOT) && EndsAtAddedRoot(chain)) {
    status &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
    ignore = kIgnoreUnknownAuthority;
  }
  int32_t result = status == CERT_TRUST_NO_ERROR ? 0 : ChainFailure(status);
  if (result == 0) {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = ignore;
    // Wine's policy would check an address as a name: it gets none, and the
    // address is checked below.
    const bool isAddress = !address.empty();
    // The policy only reads the name.
    ssl.pwszServerName = isAddress ? nullptr : const_cast<wchar_t*>(host.c_str());
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS verdict{};
    verdict.cbSize = sizeof verdict;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict)) {
      result = kTlsCertificateBad;
    } else {
      result = static_cast<int32_t>(verdict.dwError);
    }
    if (result == 0 && isAddress && !NamesAddress(server, address)) {
      result = kTlsNameMismatch;
    }
  }
  CertFreeCertificateChain(chain);
  return result;
}

// The DER bytes of every certificate block in a PEM text.
template <typename Each>
void ForEachPemCertificate(const std::string& text, Each each) {
  size_t at = 0;
  while ((at = text.find(kPemBegin, at)) != std::string::npos) {
    const size_t end = text.find(kPemEnd, at);
    if (end == std::string::npos) return;
    const size_t length = end + sizeof kPemEnd - 1 - at;
    DWORD size = 0;
    const char* block = text.data() + at;
    if (CryptStringToBinaryA(block, static_cast<DWORD>(length), CRYPT_STRING_BASE64HEADER, nullptr,
                             &size, nullptr, nullptr)) {
      std::string der(size, '\0');
      if (CryptStringToBinaryA(block, static_cast<DWORD>(length), CRYPT_STRING_BASE64HEADER,
                               reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr)) {
        der.resize(size);
        each(der);
      }
    }
    at = end;
  }
}

bool ReadWholeFile(const std::u16string& path, std::string& text) {
  const std::wstring name(path.begin(), path.end());
  if (name.find(L'\0') != std::wstring::npos) return false;
  HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD size = GetFileSize(file, nullptr);
  bool read = size != INVALID_FILE_SIZE && size <= kPemFileLimit;
  if (read) {
    text.resize(size);
    DWORD got = 0;
    read = size == 0 || (ReadFile(file, text.data(), size, &got, nullptr) && got == size);
  }
  CloseHandle(file);
  return read;
}

}  // namespace

int32_t VerifyServerCertificate(PCCERT_CONTEXT server, const std::wstring& host,
                                const std::string& address) {
  // The intermediates the server sent, and the added roots.
  HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
  if (extra == nullptr) return kTlsInternalError;
  CertAddStoreToCollection(extra, Trusted(), 0, 0);
  if (server->hCertStore != nullptr) CertAddStoreToCollection(extra, server->hCertStore, 0, 0);
  const int32_t result = CheckChain(server, host, address, extra);
  CertCloseStore(extra, 0);
  return result;
}

int32_t TrustPemFile(const std::u16string& path, int32_t& error) {
  std::string text;
  HCERTSTORE store = Trusted();
  if (store == nullptr || !ReadWholeFile(path, text)) {
    error = kTlsFileNotFound;
    return -1;
  }
  int32_t count = 0;
  ForEachPemCertificate(text, [&](const std::string& der) {
    if (CertAddEncodedCertificateToStore(
            store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
            static_cast<DWORD>(der.size()), CERT_STORE_ADD_USE_EXISTING, nullptr) &&
        count < INT32_MAX) {
      ++count;
    }
  });
  if (count == 0) {
    error = kTlsNoCertificate;
    return -1;
  }
  error = 0;
  return count;
}

}  // namespace qws::platform

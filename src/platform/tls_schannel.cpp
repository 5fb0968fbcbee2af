// TLS on Windows: Schannel through SSPI, and the certificate chain checked here
// (manual validation): Wine's Schannel checks no server certificate at all, and
// its SSL policy passes a partial chain.
#define SECURITY_WIN32
#include <windows.h>

#include <wincrypt.h>

#include <schannel.h>
#include <security.h>

#include <climits>
#include <cstring>
#include <mutex>

#include "platform.h"
#include "tls.h"

namespace qws::platform {

struct TlsSession {
  CredHandle credentials{};
  CtxtHandle context{};
  bool haveCredentials = false;
  bool haveContext = false;
  std::wstring host;
  // What the resolver reads as an address ("127.1" too), in network order: checked
  // against the certificate's addresses, never as a name, and sent as no SNI.
  uint32_t address = kNoAddress;
  SecPkgContext_StreamSizes sizes{};
};

namespace {

constexpr DWORD kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                  ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                  ISC_REQ_MANUAL_CRED_VALIDATION;
// SECURITY_FLAG_IGNORE_UNKNOWN_CA, which only wininet.h defines.
constexpr DWORD kIgnoreUnknownAuthority = 0x00000100;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kPemBegin[] = "-----BEGIN CERTIFICATE-----";
constexpr char kPemEnd[] = "-----END CERTIFICATE-----";
constexpr unsigned char kAlertRecord = 21;         // a TLS record's content type: an alert
constexpr DWORD kPemFileLimit = 16 * 1024 * 1024;  // bytes: no trust file is larger

// secur32 is loaded at the first secure connection, not with the library: under
// Wine its loading takes a start of the socket layer, which would change what
// CloseTCP reports in every process that never connects securely.
PSecurityFunctionTableW Sspi() {
  static const PSecurityFunctionTableW table = []() -> PSecurityFunctionTableW {
    HMODULE module = LoadLibraryW(L"secur32.dll");
    if (module == nullptr) return nullptr;
    const auto start = reinterpret_cast<INIT_SECURITY_INTERFACE_W>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, SECURITY_ENTRYPOINT_ANSIW)));
    return start != nullptr ? start() : nullptr;
  }();
  return table;
}

// The certificates TrustPemFile added, for the whole process.
std::once_flag trustedOnce;
HCERTSTORE trusted = nullptr;

HCERTSTORE Trusted() {
  std::call_once(trustedOnce, [] {
    trusted = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  });
  return trusted;
}

void TakeToken(SecBuffer& token, std::string& outgoing) {
  if (token.pvBuffer == nullptr) return;
  outgoing.append(static_cast<const char*>(token.pvBuffer), token.cbBuffer);
  Sspi()->FreeContextBuffer(token.pvBuffer);
  token.pvBuffer = nullptr;
}

// What a buffer marked extra holds is the start of the next message.
void KeepExtra(const SecBuffer& buffer, std::string& incoming) {
  if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0 &&
      buffer.cbBuffer <= incoming.size()) {
    incoming.erase(0, incoming.size() - buffer.cbBuffer);
  } else {
    incoming.clear();
  }
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
bool NamesAddress(PCCERT_CONTEXT server, uint32_t address) {
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
            entry.IPAddress.cbData == sizeof address &&
            std::memcmp(entry.IPAddress.pbData, &address, sizeof address) == 0;
  }
  LocalFree(names);
  return found;
}

// The SSL policy with the name, on a chain built with the added roots for a
// server's usage.
int32_t CheckChain(TlsSession& session, PCCERT_CONTEXT server, HCERTSTORE extra) {
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
    const bool isAddress = session.address != kNoAddress;
    ssl.pwszServerName = isAddress ? nullptr : session.host.data();
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
    if (result == 0 && isAddress && !NamesAddress(server, session.address)) {
      result = kTlsNameMismatch;
    }
  }
  CertFreeCertificateChain(chain);
  return result;
}

int32_t VerifyServer(TlsSession& session) {
  PCCERT_CONTEXT server = nullptr;
  if (Sspi()->QueryContextAttributesW(&session.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server) !=
          SEC_E_OK ||
      server == nullptr) {
    return kTlsCertificateBad;
  }
  // The intermediates the server sent, and the added roots.
  HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
  int32_t result = kTlsInternalError;
  if (extra != nullptr) {
    CertAddStoreToCollection(extra, Trusted(), 0, 0);
    if (server->hCertStore != nullptr) CertAddStoreToCollection(extra, server->hCertStore, 0, 0);
    result = CheckChain(session, server, extra);
    CertCloseStore(extra, 0);
  }
  CertFreeCertificateContext(server);
  return result;
}

int32_t Established(TlsSession& session) {
  const int32_t verified = VerifyServer(session);
  if (verified != 0) return verified;
  const SECURITY_STATUS sized =
      Sspi()->QueryContextAttributesW(&session.context, SECPKG_ATTR_STREAM_SIZES, &session.sizes);
  return sized == SEC_E_OK ? 0 : static_cast<int32_t>(sized);
}

SECURITY_STATUS Step(TlsSession& session, SecBufferDesc* input, SecBuffer& token) {
  token = {0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc output{SECBUFFER_VERSION, 1, &token};
  ULONG attributes = 0;
  // Wine would send an address given as the target as SNI.
  SEC_WCHAR* target = session.address == kNoAddress ? session.host.data() : nullptr;
  const SECURITY_STATUS status = Sspi()->InitializeSecurityContextW(
      &session.credentials, session.haveContext ? &session.context : nullptr, target,
      kContextRequest, 0, 0, input, 0, &session.context, &output, &attributes, nullptr);
  if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) session.haveContext = true;
  return status;
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

void TlsSessionRelease::operator()(TlsSession* session) const {
  if (session->haveContext) Sspi()->DeleteSecurityContext(&session->context);
  if (session->haveCredentials) Sspi()->FreeCredentialsHandle(&session->credentials);
  delete session;
}

TlsSessionPtr NewTlsClient(const std::string& host, int32_t& error) {
  if (Sspi() == nullptr) {
    error = kTlsInternalError;
    return nullptr;
  }
  TlsSessionPtr session(new TlsSession);
  const std::u16string wide = AnsiToWide(host.data(), host.size());
  session->host.assign(wide.begin(), wide.end());
  session->address = Sockets().inetAddr(host.c_str());

  SCHANNEL_CRED wanted{};
  wanted.dwVersion = SCHANNEL_CRED_VERSION;
  wanted.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  wanted.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  SEC_WCHAR package[] = UNISP_NAME_W;
  const SECURITY_STATUS status =
      Sspi()->AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &wanted,
                                        nullptr, nullptr, &session->credentials, nullptr);
  if (status != SEC_E_OK) {
    error = static_cast<int32_t>(status);
    return nullptr;
  }
  session->haveCredentials = true;
  error = 0;
  return session;
}

TlsStatus TlsHandshake(TlsSession& session, std::string& incoming, std::string& outgoing,
                       int32_t& error) {
  SecBuffer token{};
  if (!session.haveContext) {
    const SECURITY_STATUS status = Step(session, nullptr, token);
    TakeToken(token, outgoing);
    if (status == SEC_I_CONTINUE_NEEDED) return TlsStatus::kMore;
    error = static_cast<int32_t>(status);
    return TlsStatus::kFailed;
  }
  // One message after another, while whole ones wait.
  while (!incoming.empty()) {
    SecBuffer in[2] = {{static_cast<ULONG>(incoming.size()), SECBUFFER_TOKEN, incoming.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc input{SECBUFFER_VERSION, 2, in};
    const SECURITY_STATUS status = Step(session, &input, token);
    TakeToken(token, outgoing);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return TlsStatus::kMore;
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) continue;  // asked for a client certificate: none
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      error = static_cast<int32_t>(status);
      return TlsStatus::kFailed;
    }
    KeepExtra(in[1], incoming);
    if (status == SEC_E_OK) {
      error = Established(session);
      return error == 0 ? TlsStatus::kDone : TlsStatus::kFailed;
    }
  }
  return TlsStatus::kMore;
}

TlsStatus TlsDecrypt(TlsSession& session, std::string& incoming, std::string& plaintext,
                     std::string&, int32_t& error) {
  while (!incoming.empty()) {
    // The record's type travels in clear ahead of it (TLS 1.2, all Schannel does here).
    const bool alert = static_cast<unsigned char>(incoming[0]) == kAlertRecord;
    SecBuffer buffers[4] = {{static_cast<ULONG>(incoming.size()), SECBUFFER_DATA, incoming.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = Sspi()->DecryptMessage(&session.context, &message, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return TlsStatus::kDone;
    if (status == SEC_I_CONTEXT_EXPIRED) return TlsStatus::kClosed;
    if (status != SEC_E_OK) {
      error = status == SEC_I_RENEGOTIATE ? kTlsIllegalMessage : static_cast<int32_t>(status);
      return TlsStatus::kFailed;
    }
    const SecBuffer* data = nullptr;
    const SecBuffer* extra = nullptr;
    for (const SecBuffer& buffer : buffers) {
      if (buffer.BufferType == SECBUFFER_DATA) data = &buffer;
      if (buffer.BufferType == SECBUFFER_EXTRA) extra = &buffer;
    }
    // Wine reports the peer's close_notify as a record without data. A record of
    // application data may hold none too: that is no close, only the alert is.
    const bool empty = data == nullptr || data->cbBuffer == 0;
    if (empty && alert) return TlsStatus::kClosed;
    if (!empty) plaintext.append(static_cast<const char*>(data->pvBuffer), data->cbBuffer);
    if (extra != nullptr) {
      KeepExtra(*extra, incoming);
    } else {
      incoming.clear();
    }
  }
  return TlsStatus::kDone;
}

bool TlsEncrypt(TlsSession& session, const char* bytes, size_t count, std::string& outgoing,
                int32_t& error) {
  const SecPkgContext_StreamSizes& sizes = session.sizes;
  const size_t header = sizes.cbHeader;
  std::string record(header + count + sizes.cbTrailer, '\0');
  std::memcpy(record.data() + header, bytes, count);
  SecBuffer buffers[4] = {
      {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
      {static_cast<ULONG>(count), SECBUFFER_DATA, record.data() + header},
      {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + header + count},
      {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
  const SECURITY_STATUS status = Sspi()->EncryptMessage(&session.context, 0, &message, 0);
  if (status != SEC_E_OK) {
    error = static_cast<int32_t>(status);
    return false;
  }
  // The header may come out shorter than reserved: the three parts, as written.
  outgoing.append(static_cast<const char*>(buffers[0].pvBuffer), buffers[0].cbBuffer);
  outgoing.append(static_cast<const char*>(buffers[1].pvBuffer), buffers[1].cbBuffer);
  outgoing.append(static_cast<const char*>(buffers[2].pvBuffer), buffers[2].cbBuffer);
  return true;
}

void TlsCloseNotify(TlsSession& session, std::string& outgoing) {
  if (!session.haveContext) return;
  DWORD shutdown = SCHANNEL_SHUTDOWN;
  SecBuffer control{sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
  SecBufferDesc controls{SECBUFFER_VERSION, 1, &control};
  if (Sspi()->ApplyControlToken(&session.context, &controls) != SEC_E_OK) return;
  SecBuffer token{};
  Step(session, nullptr, token);
  TakeToken(token, outgoing);
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

// TLS on Windows: Schannel through SSPI, told not to check the server's
// certificate (manual validation): certificates_win32.cpp checks it once the
// handshake is done.
#define SECURITY_WIN32
#include <windows.h>

#include <wincrypt.h>

#include <schannel.h>
#include <security.h>

#include <cstring>

#include "certificates_win32.h"
#include "platform.h"
#include "tls.h"

namespace qws::platform {

struct TlsSession {
  CredHandle credentials{};
  CtxtHandle context{};
  bool haveCredentials = false;
  bool haveContext = false;
  std::wstring host;
  // The bytes of the address that the host text is ("127.1", "::1" too), network
  // order: checked against the certificate's addresses, never as a name, and sent
  // as no SNI. Empty for a name.
  std::string address;
  SecPkgContext_StreamSizes sizes{};
};

namespace {

constexpr DWORD kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                  ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                  ISC_REQ_MANUAL_CRED_VALIDATION;
constexpr unsigned char kAlertRecord = 21;  // a TLS record's content type: an alert

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

int32_t VerifyServer(TlsSession& session) {
  PCCERT_CONTEXT server = nullptr;
  if (Sspi()->QueryContextAttributesW(&session.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server) !=
          SEC_E_OK ||
      server == nullptr) {
    return kTlsCertificateBad;
  }
  const int32_t result = VerifyServerCertificate(server, session.host, session.address);
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
  SEC_WCHAR* target = session.address.empty() ? session.host.data() : nullptr;
  const SECURITY_STATUS status = Sspi()->InitializeSecurityContextW(
      &session.credentials, session.haveContext ? &session.context : nullptr, target,
      kContextRequest, 0, 0, input, 0, &session.context, &output, &attributes, nullptr);
  if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) session.haveContext = true;
  return status;
}

}  // namespace

void TlsSessionRelease::operator()(TlsSession* session) const {
  if (session->haveContext) Sspi()->DeleteSecurityContext(&session->context);
  if (session->haveCredentials) Sspi()->FreeCredentialsHandle(&session->credentials);
  delete session;
}

TlsSessionPtr NewTlsClient(const std::string& host, const std::string& address, int32_t& error) {
  if (Sspi() == nullptr) {
    error = kTlsInternalError;
    return nullptr;
  }
  TlsSessionPtr session(new TlsSession);
  const std::u16string wide = AnsiToWide(host.data(), host.size());
  session->host.assign(wide.begin(), wide.end());
  session->address = address;

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

}  // namespace qws::platform

// TLS on Linux: OpenSSL 3 over two memory BIOs. The library sends and receives
// itself (send with MSG_NOSIGNAL: OpenSSL's socket BIO can raise SIGPIPE).
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstring>
#include <mutex>

#include "platform.h"
#include "tls.h"
#include "utf8.h"

namespace qws::platform {

struct TlsSession {
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // owned by ssl
  BIO* out = nullptr;  // owned by ssl
};

namespace {

// One context for the process: its store holds the system's roots and every
// certificate TrustPemFile added.
std::mutex contextLock;
SSL_CTX* sharedContext = nullptr;

SSL_CTX* Context() {
  std::lock_guard<std::mutex> hold(contextLock);
  if (sharedContext != nullptr) return sharedContext;
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_default_verify_paths(context);
  sharedContext = context;
  return sharedContext;
}

int32_t VerifyFailure(long result) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CRL_HAS_EXPIRED:
      return kTlsExpired;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return kTlsNameMismatch;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return kTlsUntrustedRoot;
    case X509_V_ERR_INVALID_PURPOSE:
      return kTlsWrongUsage;
    case X509_V_ERR_CERT_REVOKED:
      return kTlsRevoked;
    default:
      return kTlsCertificateBad;
  }
}

// What a failed call means: a certificate that did not verify, or a peer that
// does not speak TLS (or said so with an alert).
int32_t Failure(TlsSession& session, int result) {
  const int reason = SSL_get_error(session.ssl, result);
  ERR_clear_error();
  const long verified = SSL_get_verify_result(session.ssl);
  if (verified != X509_V_OK) return VerifyFailure(verified);
  return reason == SSL_ERROR_SSL ? kTlsIllegalMessage : kTlsInternalError;
}

void Feed(TlsSession& session, std::string& incoming) {
  if (incoming.empty()) return;
  BIO_write(session.in, incoming.data(), static_cast<int>(incoming.size()));
  incoming.clear();
}

void Drain(TlsSession& session, std::string& outgoing) {
  char* data = nullptr;
  const long pending = BIO_get_mem_data(session.out, &data);
  if (pending <= 0) return;
  outgoing.append(data, static_cast<size_t>(pending));
  (void)BIO_reset(session.out);
}

}  // namespace

void TlsSessionRelease::operator()(TlsSession* session) const {
  if (session->ssl != nullptr) SSL_free(session->ssl);
  delete session;
}

TlsSessionPtr NewTlsClient(const std::string& host, const std::string& address, int32_t& error) {
  error = kTlsInternalError;
  SSL_CTX* context = Context();
  if (context == nullptr) return nullptr;
  TlsSessionPtr session(new TlsSession);
  session->ssl = SSL_new(context);
  if (session->ssl == nullptr) return nullptr;
  session->in = BIO_new(BIO_s_mem());
  session->out = BIO_new(BIO_s_mem());
  if (session->in == nullptr || session->out == nullptr) {
    BIO_free(session->in);
    BIO_free(session->out);
    return nullptr;
  }
  // An empty memory BIO means "not yet", not an end of stream.
  BIO_set_mem_eof_return(session->in, -1);
  SSL_set_bio(session->ssl, session->in, session->out);
  // An address ("127.1", "::1" too) is checked against the certificate's addresses,
  // never as a name, and goes out as no SNI.
  bool named = false;
  if (!address.empty()) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(address.data());
    named = X509_VERIFY_PARAM_set1_ip(SSL_get0_param(session->ssl), bytes, address.size()) == 1;
  } else {
    named = SSL_set1_host(session->ssl, host.c_str()) == 1 &&
            SSL_set_tlsext_host_name(session->ssl, host.c_str()) == 1;
  }
  if (!named) return nullptr;
  SSL_set_connect_state(session->ssl);
  error = 0;
  return session;
}

TlsStatus TlsHandshake(TlsSession& session, std::string& incoming, std::string& outgoing,
                       int32_t& error) {
  Feed(session, incoming);
  const int result = SSL_do_handshake(session.ssl);
  Drain(session, outgoing);
  if (result == 1) return TlsStatus::kDone;
  if (SSL_get_error(session.ssl, result) == SSL_ERROR_WANT_READ) return TlsStatus::kMore;
  error = Failure(session, result);
  return TlsStatus::kFailed;
}

TlsStatus TlsDecrypt(TlsSession& session, std::string& incoming, std::string& plaintext,
                     std::string& outgoing, int32_t& error) {
  Feed(session, incoming);
  char block[kTlsRecordPlaintext];
  for (;;) {
    const int n = SSL_read(session.ssl, block, sizeof block);
    if (n > 0) {
      plaintext.append(block, static_cast<size_t>(n));
      continue;
    }
    Drain(session, outgoing);
    const int reason = SSL_get_error(session.ssl, n);
    // After a TLS 1.3 handshake the tickets come in records without data.
    if (reason == SSL_ERROR_WANT_READ) return TlsStatus::kDone;
    if (reason == SSL_ERROR_ZERO_RETURN) return TlsStatus::kClosed;
    ERR_clear_error();
    error = kTlsDecryptFailure;
    return TlsStatus::kFailed;
  }
}

bool TlsEncrypt(TlsSession& session, const char* bytes, size_t count, std::string& outgoing,
                int32_t& error) {
  const int written = SSL_write(session.ssl, bytes, static_cast<int>(count));
  Drain(session, outgoing);
  if (written == static_cast<int>(count)) return true;
  ERR_clear_error();
  error = kTlsInternalError;
  return false;
}

void TlsCloseNotify(TlsSession& session, std::string& outgoing) {
  SSL_shutdown(session.ssl);
  ERR_clear_error();
  Drain(session, outgoing);
}

int32_t TrustPemFile(const std::u16string& path, int32_t& error) {
  const std::string name = utf8::Encode(path.data(), path.size());
  SSL_CTX* context = Context();
  BIO* file = name.find('\0') == std::string::npos ? BIO_new_file(name.c_str(), "r") : nullptr;
  if (context == nullptr || file == nullptr) {
    ERR_clear_error();
    error = kTlsFileNotFound;
    return -1;
  }
  X509_STORE* store = SSL_CTX_get_cert_store(context);
  int32_t count = 0;
  while (X509* certificate = PEM_read_bio_X509(file, nullptr, nullptr, nullptr)) {
    // A certificate already trusted counts too: adding a file twice is no failure.
    X509_STORE_add_cert(store, certificate);
    X509_free(certificate);
    if (count < INT32_MAX) ++count;
  }
  ERR_clear_error();
  BIO_free(file);
  if (count == 0) {
    error = kTlsNoCertificate;
    return -1;
  }
  error = 0;
  return count;
}

}  // namespace qws::platform

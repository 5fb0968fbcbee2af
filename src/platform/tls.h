// The client side of TLS through the system's own stack: Schannel on Windows
// (tls_schannel.cpp), OpenSSL on Linux (tls_openssl.cpp). A session never touches
// a socket: it takes the bytes that arrived and gives the bytes to send, so that
// every socket call stays in the SocketApi table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qws::platform {

// Why a session failed, in the numbering of Windows' security and certificate
// errors on every platform.
constexpr int32_t kTlsExpired = static_cast<int32_t>(0x800B0101u);         // CERT_E_EXPIRED
constexpr int32_t kTlsUntrustedRoot = static_cast<int32_t>(0x800B0109u);   // CERT_E_UNTRUSTEDROOT
constexpr int32_t kTlsNameMismatch = static_cast<int32_t>(0x800B010Fu);    // CERT_E_CN_NO_MATCH
constexpr int32_t kTlsWrongUsage = static_cast<int32_t>(0x800B0110u);      // CERT_E_WRONG_USAGE
constexpr int32_t kTlsRevoked = static_cast<int32_t>(0x80092010u);         // CRYPT_E_REVOKED
constexpr int32_t kTlsCertificateBad = static_cast<int32_t>(0x80090327u);  // SEC_E_CERT_UNKNOWN
constexpr int32_t kTlsIllegalMessage = static_cast<int32_t>(0x80090326u);  // SEC_E_ILLEGAL_MESSAGE
constexpr int32_t kTlsInternalError = static_cast<int32_t>(0x80090304u);   // SEC_E_INTERNAL_ERROR
constexpr int32_t kTlsDecryptFailure = static_cast<int32_t>(0x80090330u);  // SEC_E_DECRYPT_FAILURE
constexpr int32_t kTlsFileNotFound = static_cast<int32_t>(0x80070002u);    // ERROR_FILE_NOT_FOUND
constexpr int32_t kTlsNoCertificate = static_cast<int32_t>(0x80092004u);   // CRYPT_E_NOT_FOUND
// The connection ended without the peer's close_notify: what came may be cut short.
constexpr int32_t kTlsCutShort = static_cast<int32_t>(0x80090318u);  // SEC_E_INCOMPLETE_MESSAGE

// Plaintext per record: TLS's own limit.
constexpr size_t kTlsRecordPlaintext = 16384;

struct TlsSession;
struct TlsSessionRelease {
  void operator()(TlsSession* session) const;
};
using TlsSessionPtr = std::unique_ptr<TlsSession, TlsSessionRelease>;

enum class TlsStatus {
  kDone,    // handshake complete / records taken
  kMore,    // needs more bytes from the peer
  kClosed,  // the peer's close_notify
  kFailed,
};

// A client session that verifies the server as `host`: its chain against the
// system's roots and those TrustPemFile added, its usage (a server's), and the
// name. Where the host text is an address, `address` holds its bytes (4 for IPv4,
// 16 for IPv6, network order): it is checked against the certificate's addresses,
// never as a name, and sent as no SNI; SNI goes out for names only. Null, with
// `error`, when the stack cannot start one.
TlsSessionPtr NewTlsClient(const std::string& host, const std::string& address, int32_t& error);

// One handshake step: takes what it can from the front of `incoming` and appends
// what must be sent to `outgoing`. kDone only for a verified session.
TlsStatus TlsHandshake(TlsSession& session, std::string& incoming, std::string& outgoing,
                       int32_t& error);

// Decrypts the whole records at the front of `incoming` into `plaintext`; a
// partial record stays. Some stacks answer the peer here (`outgoing`).
TlsStatus TlsDecrypt(TlsSession& session, std::string& incoming, std::string& plaintext,
                     std::string& outgoing, int32_t& error);

// Appends the records of `count` plaintext bytes (at most kTlsRecordPlaintext).
bool TlsEncrypt(TlsSession& session, const char* bytes, size_t count, std::string& outgoing,
                int32_t& error);

// Appends the close_notify alert.
void TlsCloseNotify(TlsSession& session, std::string& outgoing);

// Adds the certificates of a PEM file to the roots this process trusts. Returns
// how many it read, or -1 with `error`.
int32_t TrustPemFile(const std::u16string& path, int32_t& error);

}  // namespace qws::platform

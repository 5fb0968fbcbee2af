#include "operations.h"

namespace qws {
namespace {

struct Description {
  int32_t code;
  const char16_t* text;
};

constexpr Description kDescriptions[] = {
    {0, u"No error"},
    {10004, u"Interrupted call"},
    {10009, u"Bad socket handle"},
    {10013, u"Permission denied"},
    {10014, u"Bad address"},
    {10022, u"Invalid argument"},
    {10024, u"Too many open sockets"},
    {10035, u"Nothing to take yet (would block)"},
    {10036, u"Operation now in progress"},
    {10037, u"Operation already in progress"},
    {10038, u"Not a socket (no connection)"},
    {10040, u"Message too long"},
    {10043, u"Protocol not supported"},
    {10045, u"Operation not supported"},
    {10047, u"Address family not supported"},
    {10048, u"Address already in use"},
    {10049, u"Address not available"},
    {10050, u"Network is down"},
    {10051, u"Network is unreachable"},
    {10052, u"Connection dropped by a network reset"},
    {10053, u"Connection aborted"},
    {10054, u"Connection reset by the peer"},
    {10055, u"No buffer space available"},
    {10056, u"Already connected"},
    {10057, u"Not connected"},
    {10058, u"Connection shut down"},
    {10060, u"Connection timed out"},
    {10061, u"Connection refused"},
    {10064, u"Host is down"},
    {10065, u"No route to host"},
    {10093, u"Socket layer not started"},
    {10107, u"System call failed"},
    {11001, u"Host not found"},
    {11002, u"Host not found for now (try again)"},
    {11003, u"Name server failure"},
    {11004, u"Name has no address"},
    {platform::kTlsExpired, u"Certificate expired or not yet valid"},
    {platform::kTlsUntrustedRoot, u"Certificate from an authority that is not trusted"},
    {platform::kTlsNameMismatch, u"Certificate is for another name"},
    {platform::kTlsWrongUsage, u"Certificate is not for a server"},
    {platform::kTlsRevoked, u"Certificate revoked"},
    {platform::kTlsCertificateBad, u"Certificate rejected"},
    {platform::kTlsIllegalMessage, u"Peer does not speak TLS, or refused the handshake"},
    {platform::kTlsInternalError, u"TLS failed"},
    {platform::kTlsDecryptFailure, u"Secure data could not be decrypted"},
    {platform::kTlsCutShort, u"Secure session cut short: closed without close_notify"},
    {platform::kTlsFileNotFound, u"File not found or unreadable"},
    {platform::kTlsNoCertificate, u"No certificate in the file"},
};

}  // namespace

std::u16string ErrorText(int32_t code) {
  for (const Description& description : kDescriptions) {
    if (description.code == code) return description.text;
  }
  return u"Unknown error";
}

}  // namespace qws

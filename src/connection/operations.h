// The connection operations, on the calling thread's record. The exports in
// boundary/ convert arguments and results; these do the work.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "connection_record.h"

namespace qws {

constexpr int kMaxAddresses = 16;       // of a name, tried in turn at most
constexpr size_t kMaxHostLength = 255;  // a DNS name's limit, far beyond any address

// A port's 16 bits in network byte order; the same swap reads one back.
uint16_t NetworkPort(int16_t port);

// What a host text is read as.
struct HostText {
  enum Kind { kNone, kInet, kInet6, kName, kMalformed } kind = kNone;
  platform::SocketAddress address;  // of kInet and kInet6, port 0
  std::string literal;              // of kInet6 and a mapped kInet: the address alone
};
// IPv4 by its rules first (their quirks stay), then an IPv6 literal with or without
// brackets and with a numeric scope (an IPv4-mapped one is IPv4), then a name. A NUL
// or an empty text names nothing; brackets or a scope around anything else, or more
// than kMaxHostLength bytes, are malformed.
HostText ReadHostText(const std::string& text);
// The addresses to try for a host text, in the order of attempts, each with `port`;
// none, with `error`, when it names none.
std::vector<platform::SocketAddress> HostAddresses(const std::string& text, int16_t port,
                                                   int32_t& error);
// A socket's local or peer address, an IPv4-mapped one as IPv4; family 0 for none.
platform::SocketAddress EndAddress(const SocketHandle& socket, bool peer);
// "203.0.113.7:50123" or "[2001:db8::7]:443"; the empty text for no address.
std::u16string AddressText(const platform::SocketAddress& address);

// ConnectTCP's steps up to the connected socket, without its receive pass.
bool ConnectSocket(ConnectionRecord& record, const std::string& host, int16_t port);
bool ConnectToServer(ConnectionRecord& record, const std::string& host, int16_t port);
bool ConnectSecurely(ConnectionRecord& record, const std::string& host, int16_t port);
// Returns how many certificates the PEM file added to the trusted roots, or -1.
int32_t TrustCertificates(ConnectionRecord& record, const std::u16string& path);
int SendText(ConnectionRecord& record, const std::u16string& text);
int CloseConnection(ConnectionRecord& record);
bool StartListening(ConnectionRecord& record, int16_t port);
bool AcceptWaitingPeer(ConnectionRecord& record);
// Whether the listener holds an accepted peer that no poll or pass is using now.
bool HoldsPeer(const ConnectionRecord& listener);
// Moves the listener's accepted peer, with what its poll consumed and held back,
// into `slot` as a connection of the client kind; the listener listens on.
bool HandOffPeer(ConnectionRecord& listener, ConnectionRecord& slot);
// Whether a slot may be given a connection: it has none, or one that has ended.
bool TakesConnection(const ConnectionRecord& slot);
// Whether the record listens with no accept poll running on it.
bool ListensIdle(const ConnectionRecord& listener);
// Accepts one waiting peer straight into `slot`, with no pause and no receive pass.
bool AcceptInto(ConnectionRecord& listener, ConnectionRecord& slot);
// The slot of the calling thread that needs its host, waiting up to `milliseconds`
// for one; -1 when none does by then, or when the wait is refused.
int32_t WaitForSlot(int32_t milliseconds);
int SendBytes(ConnectionRecord& record, const std::string& bytes);
// How many bytes the pass left at the start of `record.byteArea`.
size_t ReceiveBytesPass(ConnectionRecord& record);
ConnectionState CurrentState(ConnectionRecord& record);
// A short English description of an error number.
std::u16string ErrorText(int32_t code);

}  // namespace qws

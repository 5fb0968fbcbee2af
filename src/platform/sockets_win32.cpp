// Windows Sockets 1.1 from wsock32, in the table the library calls through; the
// IPv6 parts (getaddrinfo, inet_pton, sockaddr_in6) come from Windows Sockets 2.
// winsock2.h before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <cstring>

#include "platform.h"
#include "socket_forms.h"

namespace qws::platform {
namespace {

static_assert(sizeof(WSADATA) <= sizeof(StartupData), "room for WSADATA");

constexpr WORD kVersion11 = MAKEWORD(1, 1);

int Startup(StartupData* data) {
  return WSAStartup(kVersion11, reinterpret_cast<WSADATA*>(data->bytes));
}

int Cleanup() { return WSACleanup(); }

int CancelBlockingCall() { return WSACancelBlockingCall(); }

int LastError() { return WSAGetLastError(); }

// SOCKET is pointer-sized on 64-bit Windows, but its values are small; one that
// would not fit the record's 32 bits is not kept.
Socket Narrow(SOCKET s) {
  if (s == INVALID_SOCKET) return kInvalidSocket;
  if (s > static_cast<SOCKET>(INT32_MAX)) {
    closesocket(s);
    return kInvalidSocket;
  }
  return static_cast<Socket>(s);
}

SOCKET Wide(Socket s) { return static_cast<SOCKET>(static_cast<uint32_t>(s)); }

// An IPv6 socket takes IPv4 peers too: Windows' default for IPV6_V6ONLY is on.
Socket OpenSocket(int16_t family) {
  const bool six = family == kAddressFamilyInet6;
  const Socket s = Narrow(::socket(six ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
  if (six && s != kInvalidSocket) {
    DWORD off = 0;
    setsockopt(Wide(s), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off);
  }
  return s;
}

int SetNonBlocking(Socket s) {
  u_long on = 1;
  return ioctlsocket(Wide(s), FIONBIO, &on);
}

// SO_REUSEADDR here would let another process bind a port we listen on; a port
// is free again at once without it.
int AllowAddressReuse(Socket) { return 0; }

int Bind(Socket s, const SocketAddress* address) {
  sockaddr_storage native;
  const int length = ToSockaddr(address, native);
  return ::bind(Wide(s), reinterpret_cast<const sockaddr*>(&native), length);
}

int Listen(Socket s, int backlog) { return ::listen(Wide(s), backlog); }

// Winsock gives the accepted socket the listening socket's non-blocking mode.
Socket Accept(Socket s) {
  sockaddr_storage peer{};
  int length = sizeof peer;
  return Narrow(::accept(Wide(s), reinterpret_cast<sockaddr*>(&peer), &length));
}

int Connect(Socket s, const SocketAddress* address) {
  sockaddr_storage native;
  const int length = ToSockaddr(address, native);
  return ::connect(Wide(s), reinterpret_cast<const sockaddr*>(&native), length);
}

int SelectRead(Socket s, long microseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Wide(s), &readable);
  timeval timeout{microseconds / 1000000, microseconds % 1000000};
  return ::select(0, &readable, nullptr, nullptr, &timeout);
}

// A refused non-blocking connect shows in the exception set, but so does urgent
// data from a working peer: only SO_ERROR tells the two apart.
int PendingError(Socket s) {
  int error = 0;
  int length = sizeof error;
  if (getsockopt(Wide(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    return WSAGetLastError();
  }
  return error;
}

// Writable: a non-blocking connect has completed; a failed one shows in the
// exception set and the pending error instead.
int SelectWrite(Socket s, long microseconds) {
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(Wide(s), &writable);
  timeval timeout{microseconds / 1000000, microseconds % 1000000};
  return ::select(0, nullptr, &writable, nullptr, &timeout);
}

int Send(Socket s, const char* bytes, int count) { return ::send(Wide(s), bytes, count, 0); }

// Wine reports a peer's reset as an end of stream, to recv, select and SO_ERROR
// alike; only a send still meets it (Windows itself fails the recv). A send of
// nothing asks, and leaves WSAECONNRESET as the thread's last error.
bool ResetMetBySend(SOCKET s) {
  const char none = 0;
  return ::send(s, &none, 0, 0) == SOCKET_ERROR && WSAGetLastError() == WSAECONNRESET;
}

int Recv(Socket s, char* bytes, int count, int flags) {
  const int n = ::recv(Wide(s), bytes, count, (flags & kRecvPeek) ? MSG_PEEK : 0);
  if (n == 0 && ResetMetBySend(Wide(s))) return SOCKET_ERROR;
  return n;
}

// After the end of sending even a send no longer tells a reset: it is asked first.
int Shutdown(Socket s, int how) {
  if ((how == kShutdownSend || how == kShutdownBoth) && ResetMetBySend(Wide(s)))
    return SOCKET_ERROR;
  return ::shutdown(Wide(s), how);
}

int CloseSocket(Socket s) { return ::closesocket(Wide(s)); }

uint32_t InetAddr(const char* text) { return ::inet_addr(text); }

int Resolve(const char* name, SocketAddress* addresses, int capacity) {
  const addrinfo hints = ResolverHints();
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return -1;
  const int count = TakeAddresses(found, addresses, capacity);
  freeaddrinfo(found);
  if (count == 0) WSASetLastError(WSAHOST_NOT_FOUND);
  return count == 0 ? -1 : count;
}

int InetPton6(const char* text, uint8_t* bytes) { return inet_pton(AF_INET6, text, bytes) == 1; }

int EndAddress(Socket s, SocketAddress* address, bool peer) {
  sockaddr_storage native{};
  int length = sizeof native;
  auto* where = reinterpret_cast<sockaddr*>(&native);
  if ((peer ? getpeername(Wide(s), where, &length) : getsockname(Wide(s), where, &length)) != 0) {
    return -1;
  }
  *address = FromSockaddr(where);
  return 0;
}

int LocalAddress(Socket s, SocketAddress* address) { return EndAddress(s, address, false); }
int PeerAddress(Socket s, SocketAddress* address) { return EndAddress(s, address, true); }

int LocalPort(Socket s) {
  SocketAddress address;
  if (EndAddress(s, &address, false) != 0) return -1;
  return ntohs(address.port);
}

// Winsock tells nobody its start count; a socket call made without any start
// fails with WSANOTINITIALISED, and one made with a start costs one socket.
bool Started() {
  const SOCKET probe = ::socket(AF_INET, SOCK_STREAM, 0);
  if (probe != INVALID_SOCKET) {
    ::closesocket(probe);
    return true;
  }
  return WSAGetLastError() != WSANOTINITIALISED;
}

}  // namespace

// In waiting_win32.cpp, which needs Windows Sockets 2.
int PollSockets(ThreadWait& wait, PollEntry* entries, int count, int32_t milliseconds);

namespace {

constexpr SocketApi kNative = {
    Startup,     Cleanup,        CancelBlockingCall,
    OpenSocket,  SetNonBlocking, AllowAddressReuse,
    Bind,        Listen,         Accept,
    Connect,     SelectRead,     PendingError,
    Send,        Recv,           Shutdown,
    CloseSocket, InetAddr,       Resolve,
    LocalPort,   Started,        SelectWrite,
    LastError,   Delay,          PollSockets,
    InetPton6,   LocalAddress,   PeerAddress,
};

}  // namespace

const SocketApi& NativeSockets() { return kNative; }

}  // namespace qws::platform

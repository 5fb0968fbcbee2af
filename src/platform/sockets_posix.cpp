// Linux sockets in the shape of Windows Sockets 1.1: the same calls, results and
// error numbers, and a start count kept per process as Winsock keeps it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "platform.h"
#include "socket_forms.h"

namespace qws::platform {
namespace {

// Winsock counts starts per process; so do we, with the same results.
std::atomic<int> startCount{0};

// The error of this thread's last failed socket call, in Windows Sockets numbering.
thread_local int layerError = 0;

constexpr int kWouldBlock = 10035;         // WSAEWOULDBLOCK
constexpr int kNotInitialised = 10093;     // WSANOTINITIALISED
constexpr int kSystemCallFailure = 10107;  // WSASYSCALLFAILURE: no closer number
constexpr int kHostNotFound = 11001;       // WSAHOST_NOT_FOUND

// errno values and the Windows Sockets numbers of the same errors.
constexpr std::pair<int, int> kWinsockErrors[] = {
    {EINTR, 10004},      {EBADF, 10009},           {EACCES, 10013},     {EPERM, 10013},
    {EFAULT, 10014},     {EINVAL, 10022},          {EMFILE, 10024},     {ENFILE, 10024},
    {EAGAIN, 10035},     {EINPROGRESS, 10036},     {EALREADY, 10037},   {ENOTSOCK, 10038},
    {EMSGSIZE, 10040},   {EPROTONOSUPPORT, 10043}, {EOPNOTSUPP, 10045}, {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048}, {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},   {ENETUNREACH, 10051},
    {ENETRESET, 10052},  {ECONNABORTED, 10053},    {ECONNRESET, 10054}, {ENOBUFS, 10055},
    {ENOMEM, 10055},     {EISCONN, 10056},         {ENOTCONN, 10057},   {ESHUTDOWN, 10058},
    {ETIMEDOUT, 10060},  {ECONNREFUSED, 10061},    {EHOSTDOWN, 10064},  {EHOSTUNREACH, 10065},
    {EPIPE, 10054},  // a send after a reset: Winsock says reset
};

int WinsockError(int error) {
  if (error == 0) return 0;
  for (const auto& [native, winsock] : kWinsockErrors) {
    if (native == error) return winsock;
  }
  return kSystemCallFailure;
}

// Resolver failures as Winsock's resolver numbers them.
int ResolverError(int error) {
  if (error == EAI_SYSTEM) return WinsockError(errno);
  if (error == EAI_AGAIN) return 11002;   // WSATRY_AGAIN
  if (error == EAI_FAIL) return 11003;    // WSANO_RECOVERY
  if (error == EAI_NODATA) return 11004;  // WSANO_DATA
  return kHostNotFound;
}

// A failed call's result, with its error kept for lastError.
int Failed() {
  layerError = errno == EAGAIN ? kWouldBlock : WinsockError(errno);  // the common one first
  return -1;
}

int Checked(int result) { return result == 0 ? 0 : Failed(); }

int LastError() { return layerError; }

int Startup(StartupData* data) {
  constexpr uint16_t kVersion11 = 0x0101;
  std::memset(data->bytes, 0, sizeof data->bytes);
  std::memcpy(data->bytes, &kVersion11, sizeof kVersion11);
  std::memcpy(data->bytes + sizeof kVersion11, &kVersion11, sizeof kVersion11);
  startCount.fetch_add(1);
  return 0;
}

int Cleanup() {
  int count = startCount.load();
  while (count > 0) {
    if (startCount.compare_exchange_weak(count, count - 1)) return 0;
  }
  return -1;
}

int CancelBlockingCall() { return 0; }

// Handle 0 means "no socket" to the library, so a descriptor 0 (stdin closed by
// the host) is moved before it is handed out.
Socket AwayFromZero(int fd) {
  if (fd != 0) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  close(fd);
  return moved < 0 ? kInvalidSocket : moved;
}

int NativeFamily(int16_t family) { return family == kAddressFamilyInet6 ? AF_INET6 : AF_INET; }

// An IPv6 socket takes IPv4 peers too, whatever net.ipv6.bindv6only says.
Socket OpenSocket(int16_t family) {
  if (startCount.load() == 0) {
    layerError = kNotInitialised;
    return kInvalidSocket;
  }
  const int fd = ::socket(NativeFamily(family), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return Failed();
  if (family == kAddressFamilyInet6) {
    int off = 0;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  }
  return AwayFromZero(fd);
}

int SetNonBlocking(Socket s) {
  int on = 1;
  return Checked(ioctl(s, FIONBIO, &on));
}

// Lets a port whose old connections still wait in TIME_WAIT be bound again; two
// sockets still cannot listen on one port.
int AllowAddressReuse(Socket s) {
  int on = 1;
  return Checked(setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on));
}

int Bind(Socket s, const SocketAddress* address) {
  sockaddr_storage native;
  const auto length = static_cast<socklen_t>(ToSockaddr(address, native));
  return Checked(::bind(s, reinterpret_cast<const sockaddr*>(&native), length));
}

int Listen(Socket s, int backlog) { return Checked(::listen(s, backlog)); }

// accept does not pass the non-blocking mode on here, so it is asked for.
Socket Accept(Socket s) {
  const int fd = accept4(s, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return Failed();
  return AwayFromZero(fd);
}

int Connect(Socket s, const SocketAddress* address) {
  sockaddr_storage native;
  const auto length = static_cast<socklen_t>(ToSockaddr(address, native));
  return Checked(::connect(s, reinterpret_cast<const sockaddr*>(&native), length));
}

// poll, not select: descriptors past FD_SETSIZE are legal here. The events are
// the ones select counts as readable.
int SelectRead(Socket s, long microseconds) {
  pollfd entry{s, POLLIN, 0};
  const timespec timeout{microseconds / 1000000, (microseconds % 1000000) * 1000};
  const int ready = ppoll(&entry, 1, &timeout, nullptr);
  if (ready < 0 || (entry.revents & POLLNVAL)) return -1;
  return (entry.revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
}

int PendingError(Socket s) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return WinsockError(errno);
  return WinsockError(error);
}

// Writable: a non-blocking connect has completed (or failed; the pending error tells).
int SelectWrite(Socket s, long microseconds) {
  pollfd entry{s, POLLOUT, 0};
  const timespec timeout{microseconds / 1000000, (microseconds % 1000000) * 1000};
  const int ready = ppoll(&entry, 1, &timeout, nullptr);
  if (ready < 0 || (entry.revents & POLLNVAL)) return -1;
  return (entry.revents & (POLLOUT | POLLERR)) ? 1 : 0;
}

int Send(Socket s, const char* bytes, int count) {
  const ssize_t n = ::send(s, bytes, static_cast<size_t>(count), MSG_NOSIGNAL);
  return n < 0 ? Failed() : static_cast<int>(n);
}

int Recv(Socket s, char* bytes, int count, int flags) {
  const int native = (flags & kRecvPeek) ? MSG_PEEK : 0;
  const ssize_t n = ::recv(s, bytes, static_cast<size_t>(count), native);
  return n < 0 ? Failed() : static_cast<int>(n);
}

int Shutdown(Socket s, int how) {
  const int native = how == kShutdownBoth ? SHUT_RDWR : how;
  return Checked(::shutdown(s, native));
}

int CloseSocket(Socket s) { return Checked(::close(s)); }

uint32_t InetAddr(const char* text) { return ::inet_addr(text); }

// getaddrinfo, since gethostbyname is not thread-safe here.
int Resolve(const char* name, SocketAddress* addresses, int capacity) {
  const addrinfo hints = ResolverHints();
  addrinfo* found = nullptr;
  const int error = getaddrinfo(name, nullptr, &hints, &found);
  if (error != 0 || found == nullptr) {
    layerError = ResolverError(error);
    return -1;
  }
  const int count = TakeAddresses(found, addresses, capacity);
  freeaddrinfo(found);
  if (count == 0) layerError = kHostNotFound;
  return count == 0 ? -1 : count;
}

int InetPton6(const char* text, uint8_t* bytes) { return inet_pton(AF_INET6, text, bytes) == 1; }

int EndAddress(Socket s, SocketAddress* address, bool peer) {
  sockaddr_storage native{};
  socklen_t length = sizeof native;
  auto* where = reinterpret_cast<sockaddr*>(&native);
  if ((peer ? getpeername(s, where, &length) : getsockname(s, where, &length)) != 0) {
    return Failed();
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

bool Started() { return startCount.load() > 0; }

// One poll for all: the wait for the first of many sockets is one system call.
// Nothing here needs registering. A signal ends the wait early, as a message would.
int Poll(ThreadWait&, PollEntry* entries, int count, int32_t milliseconds) {
  thread_local std::vector<pollfd> descriptors;
  descriptors.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    descriptors[static_cast<size_t>(i)] = {entries[i].socket, POLLIN, 0};
    entries[i].watched = true;
  }
  const int ready = ::poll(descriptors.data(), static_cast<nfds_t>(count), milliseconds);
  if (ready < 0) return errno == EINTR ? 0 : Failed();
  for (int i = 0; i < count; ++i) {
    entries[i].readable =
        (descriptors[static_cast<size_t>(i)].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  }
  return ready;
}

constexpr SocketApi kNative = {
    Startup,     Cleanup,        CancelBlockingCall,
    OpenSocket,  SetNonBlocking, AllowAddressReuse,
    Bind,        Listen,         Accept,
    Connect,     SelectRead,     PendingError,
    Send,        Recv,           Shutdown,
    CloseSocket, InetAddr,       Resolve,
    LocalPort,   Started,        SelectWrite,
    LastError,   Delay,          Poll,
    InetPton6,   LocalAddress,   PeerAddress,
};

}  // namespace

const SocketApi& NativeSockets() { return kNative; }

}  // namespace qws::platform

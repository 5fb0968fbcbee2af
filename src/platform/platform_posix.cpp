// The platform layer on Linux: BSD sockets in the shape of Winsock, a string
// allocator with the automation string layout, UTF-8 as the ANSI code page, and a
// message pump that is whatever the host installs for its thread.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "utf8.h"

namespace qws::platform {
namespace {

// Winsock counts starts per process; so do we, with the same results.
std::atomic<int> startCount{0};

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

Socket OpenSocket() {
  if (startCount.load() == 0) return kInvalidSocket;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  return fd < 0 ? kInvalidSocket : AwayFromZero(fd);
}

int SetNonBlocking(Socket s) {
  int on = 1;
  return ioctl(s, FIONBIO, &on) == 0 ? 0 : -1;
}

// Lets a port whose old connections still wait in TIME_WAIT be bound again; two
// sockets still cannot listen on one port.
int AllowAddressReuse(Socket s) {
  int on = 1;
  return setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : -1;
}

sockaddr_in ToSockaddr(const SocketAddress* address) {
  sockaddr_in in{};
  in.sin_family = static_cast<sa_family_t>(address->family);
  in.sin_port = address->port;
  in.sin_addr.s_addr = address->address;
  return in;
}

int Bind(Socket s, const SocketAddress* address) {
  const sockaddr_in in = ToSockaddr(address);
  return ::bind(s, reinterpret_cast<const sockaddr*>(&in), sizeof in) == 0 ? 0 : -1;
}

int Listen(Socket s, int backlog) { return ::listen(s, backlog) == 0 ? 0 : -1; }

// accept does not pass the non-blocking mode on here, so it is asked for.
Socket Accept(Socket s) {
  const int fd = accept4(s, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  return fd < 0 ? kInvalidSocket : AwayFromZero(fd);
}

int Connect(Socket s, const SocketAddress* address) {
  const sockaddr_in in = ToSockaddr(address);
  return ::connect(s, reinterpret_cast<const sockaddr*>(&in), sizeof in) == 0 ? 0 : -1;
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
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

int Send(Socket s, const char* bytes, int count) {
  const ssize_t n = ::send(s, bytes, static_cast<size_t>(count), MSG_NOSIGNAL);
  return n < 0 ? -1 : static_cast<int>(n);
}

int Recv(Socket s, char* bytes, int count, int flags) {
  const int native = (flags & kRecvPeek) ? MSG_PEEK : 0;
  const ssize_t n = ::recv(s, bytes, static_cast<size_t>(count), native);
  return n < 0 ? -1 : static_cast<int>(n);
}

int Shutdown(Socket s, int how) {
  const int native = how == kShutdownBoth ? SHUT_RDWR : how;
  return ::shutdown(s, native) == 0 ? 0 : -1;
}

int CloseSocket(Socket s) { return ::close(s) == 0 ? 0 : -1; }

uint32_t InetAddr(const char* text) { return ::inet_addr(text); }

// getaddrinfo, since gethostbyname is not thread-safe here.
uint32_t LookupHost(const char* name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return kNoAddress;
  uint32_t address = kNoAddress;
  if (found->ai_addr != nullptr && found->ai_family == AF_INET) {
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  }
  freeaddrinfo(found);
  return address;
}

int LocalPort(Socket s) {
  sockaddr_in in{};
  socklen_t length = sizeof in;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&in), &length) != 0) return -1;
  return ntohs(in.sin_port);
}

bool Started() { return startCount.load() > 0; }

constexpr SocketApi kNative = {
    Startup,     Cleanup,        CancelBlockingCall,
    OpenSocket,  SetNonBlocking, AllowAddressReuse,
    Bind,        Listen,         Accept,
    Connect,     SelectRead,     PendingError,
    Send,        Recv,           Shutdown,
    CloseSocket, InetAddr,       LookupHost,
    LocalPort,   Started,
};

struct Pump {
  void (*function)(void*) = nullptr;
  void* context = nullptr;
};
thread_local Pump pump;

// What a marker's create reports for a name that is no regular file.
constexpr int kNotRegularFile = EINVAL;

constexpr size_t kLengthPrefix = sizeof(uint32_t);
constexpr size_t kTerminator = sizeof(char16_t);

}  // namespace

const SocketApi& NativeSockets() { return kNative; }

HostString NewStringBytes(const char* bytes, uint32_t count) {
  if (count > UINT32_MAX - kLengthPrefix - kTerminator - 1) return nullptr;
  // Rounded up to whole units so that an odd count still ends in two NUL bytes.
  const size_t data = count + (count & 1u);
  auto* block = static_cast<unsigned char*>(std::malloc(kLengthPrefix + data + kTerminator));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &count, kLengthPrefix);
  if (bytes != nullptr) std::memcpy(block + kLengthPrefix, bytes, count);
  std::memset(block + kLengthPrefix + count, 0, data - count + kTerminator);
  return reinterpret_cast<HostString>(block + kLengthPrefix);
}

HostString NewString(const char16_t* units, uint32_t count) {
  if (count > UINT32_MAX / 2) return nullptr;
  return NewStringBytes(reinterpret_cast<const char*>(units), count * 2);
}

uint32_t StringByteLen(HostString s) {
  if (s == nullptr) return 0;
  uint32_t count;
  std::memcpy(&count, reinterpret_cast<const unsigned char*>(s) - kLengthPrefix, kLengthPrefix);
  return count;
}

void FreeString(HostString s) {
  if (s != nullptr) std::free(reinterpret_cast<unsigned char*>(s) - kLengthPrefix);
}

std::u16string AnsiToWide(const char* bytes, size_t count) { return utf8::Decode(bytes, count); }
std::string WideToAnsi(const char16_t* units, size_t count) { return utf8::Encode(units, count); }
size_t IncompleteAnsiTail(const char* bytes, size_t count) {
  return utf8::IncompleteTail(bytes, count);
}
uint32_t AnsiCodePage() { return 65001; }

void SetPumpHook(void (*function)(void*), void* context) {
  pump = {function, function ? context : nullptr};
}

void PumpMessages() {
  const Pump current = pump;
  if (current.function != nullptr) current.function(current.context);
}

// A monotonic deadline, so that signals and clock changes neither cut the pause
// short nor stretch it.
void Delay(int32_t milliseconds) {
  if (milliseconds < 0) return;
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

// A regular file counts, also through a symbolic link, as cooperating programs
// expect; directories, pipes and devices of that name do not.
bool OrdinaryFileExists(const char* name) {
  struct stat info;
  return stat(name, &info) == 0 && S_ISREG(info.st_mode);
}

// Writes only ever reach a regular file of this very name. O_NOFOLLOW: a link
// planted under the marker's name must not get its target truncated.
// O_NONBLOCK: opening a pipe without a reader must not wait for one. Nothing is
// truncated before the file is known to be regular.
int CreateEmptyFile(const char* name) {
  const int fd = open(name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return errno != 0 ? errno : EIO;
  struct stat info;
  int result = 0;
  if (fstat(fd, &info) != 0) {
    result = errno != 0 ? errno : EIO;
  } else if (!S_ISREG(info.st_mode)) {
    result = kNotRegularFile;
  } else if (ftruncate(fd, 0) != 0) {
    result = errno != 0 ? errno : EIO;
  }
  close(fd);
  return result;
}

int RemoveFile(const char* name) {
  if (unlink(name) == 0) return 0;
  return errno != 0 ? errno : EIO;
}

namespace {

// glibc runs a thread's thread_local destructors when it ends, and keeps a library
// whose destructors are pending loaded until then.
struct ThreadValueHolder {
  void* value = nullptr;
  ThreadValueRelease release = nullptr;
  ~ThreadValueHolder() {
    if (value != nullptr) release(value, false);
  }
};
thread_local ThreadValueHolder threadValue;

}  // namespace

void* ThreadValue() { return threadValue.value; }

bool SetThreadValue(void* value, ThreadValueRelease release) {
  threadValue.value = value;
  threadValue.release = release;
  return true;
}

}  // namespace qws::platform

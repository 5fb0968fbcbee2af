#include "socket_spy.h"

#include <algorithm>
#include <map>

namespace qws::test {
namespace {

using platform::Socket;
using platform::SocketAddress;
using platform::StartupData;

struct State {
  std::array<std::atomic<int>, static_cast<size_t>(Call::kCount)> calls{};
  std::array<std::atomic<int>, static_cast<size_t>(Call::kCount)> failures{};
  std::array<std::atomic<int>, static_cast<size_t>(Call::kCount)> failureErrors{};
  mutable std::mutex mutex;
  std::set<Socket> handles;
  std::function<void()> afterConnect;
  std::map<std::string, std::vector<SocketAddress>> names;
};
State state;

const platform::SocketApi& Real() { return platform::NativeSockets(); }

// A call failed on demand fails as if the peer had reset the connection.
constexpr int kInjectedError = 10054;
thread_local int injectedError = 0;

// Counts the call and says whether it is to fail instead of reaching the platform.
bool Enter(Call call) {
  state.calls[static_cast<size_t>(call)]++;
  auto& failures = state.failures[static_cast<size_t>(call)];
  int left = failures.load();
  while (left > 0) {
    if (failures.compare_exchange_weak(left, left - 1)) {
      const int given = state.failureErrors[static_cast<size_t>(call)].load();
      injectedError = given != 0 ? given : kInjectedError;
      return true;
    }
  }
  if (call != Call::kLastError) injectedError = 0;
  return false;
}

bool Enter(Call call, Socket s) {
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.handles.insert(s);
  }
  return Enter(call);
}

int Startup(StartupData* d) { return Enter(Call::kStartup) ? -1 : Real().startup(d); }
int Cleanup() { return Enter(Call::kCleanup) ? -1 : Real().cleanup(); }
int Cancel() { return Enter(Call::kCancelBlockingCall) ? -1 : Real().cancelBlockingCall(); }
Socket OpenSocket(int16_t family) {
  if (family == platform::kAddressFamilyInet6 && Enter(Call::kSocket6)) {
    return platform::kInvalidSocket;
  }
  return Enter(Call::kSocket) ? platform::kInvalidSocket : Real().socket(family);
}
int SetNonBlocking(Socket s) {
  return Enter(Call::kSetNonBlocking, s) ? -1 : Real().setNonBlocking(s);
}
int AllowReuse(Socket s) {
  return Enter(Call::kAllowAddressReuse, s) ? -1 : Real().allowAddressReuse(s);
}
int Bind(Socket s, const SocketAddress* a) {
  return Enter(Call::kBind, s) ? -1 : Real().bind(s, a);
}
int Listen(Socket s, int b) { return Enter(Call::kListen, s) ? -1 : Real().listen(s, b); }
Socket Accept(Socket s) {
  return Enter(Call::kAccept, s) ? platform::kInvalidSocket : Real().accept(s);
}
int Connect(Socket s, const SocketAddress* a) {
  if (Enter(Call::kConnect, s)) return -1;
  const int result = Real().connect(s, a);
  if (state.afterConnect) state.afterConnect();
  return result;
}
int SelectRead(Socket s, long us) {
  return Enter(Call::kSelectRead, s) ? -1 : Real().selectRead(s, us);
}
int PendingError(Socket s) {
  return Enter(Call::kPendingError, s) ? 10054 : Real().pendingError(s);
}
int Send(Socket s, const char* b, int n) {
  return Enter(Call::kSend, s) ? -1 : Real().send(s, b, n);
}
int Recv(Socket s, char* b, int n, int f) {
  return Enter(Call::kRecv, s) ? -1 : Real().recv(s, b, n, f);
}
int Shutdown(Socket s, int how) { return Enter(Call::kShutdown, s) ? -1 : Real().shutdown(s, how); }
int CloseSocket(Socket s) { return Enter(Call::kCloseSocket, s) ? -1 : Real().closesocket(s); }
uint32_t InetAddr(const char* t) {
  return Enter(Call::kInetAddr) ? platform::kNoAddress : Real().inetAddr(t);
}
int Resolve(const char* n, SocketAddress* addresses, int capacity) {
  if (Enter(Call::kResolve)) return -1;
  std::lock_guard<std::mutex> lock(state.mutex);
  const auto given = state.names.find(n);
  if (given == state.names.end()) return Real().resolve(n, addresses, capacity);
  const int count = std::min(capacity, static_cast<int>(given->second.size()));
  std::copy(given->second.begin(), given->second.begin() + count, addresses);
  return count;
}
int InetPton6(const char* t, uint8_t* bytes) {
  return Enter(Call::kInetPton6) ? 0 : Real().inetPton6(t, bytes);
}
int LocalAddress(Socket s, SocketAddress* a) {
  return Enter(Call::kLocalAddress, s) ? -1 : Real().localAddress(s, a);
}
int PeerAddress(Socket s, SocketAddress* a) {
  return Enter(Call::kPeerAddress, s) ? -1 : Real().peerAddress(s, a);
}
int LocalPort(Socket s) { return Enter(Call::kLocalPort, s) ? -1 : Real().localPort(s); }
bool Started() { return !Enter(Call::kStarted) && Real().started(); }
int SelectWrite(Socket s, long us) {
  return Enter(Call::kSelectWrite, s) ? -1 : Real().selectWrite(s, us);
}
int LastError() {
  if (Enter(Call::kLastError) || injectedError == 0) return Real().lastError();
  // The failure was made here, not by the platform.
  const int error = injectedError;
  injectedError = 0;
  return error;
}

// Pauses are counted, and taken as they are: a failure has no meaning for them.
void Pause(int32_t ms) {
  Enter(Call::kDelay);
  Real().delay(ms);
}

int Poll(platform::ThreadWait& wait, platform::PollEntry* entries, int count, int32_t ms) {
  return Enter(Call::kPoll) ? -1 : Real().poll(wait, entries, count, ms);
}

constexpr platform::SocketApi kSpy = {
    Startup,   Cleanup,     Cancel,   OpenSocket, SetNonBlocking, AllowReuse,  Bind,
    Listen,    Accept,      Connect,  SelectRead, PendingError,   Send,        Recv,
    Shutdown,  CloseSocket, InetAddr, Resolve,    LocalPort,      Started,     SelectWrite,
    LastError, Pause,       Poll,     InetPton6,  LocalAddress,   PeerAddress,
};

}  // namespace

SocketSpy::SocketSpy() {
  reset();
  platform::UseSockets(&kSpy);
}

SocketSpy::~SocketSpy() {
  platform::UseSockets(nullptr);
  std::lock_guard<std::mutex> lock(state.mutex);
  state.names.clear();
}

int SocketSpy::calls(Call call) const { return state.calls[static_cast<size_t>(call)].load(); }

int SocketSpy::total() const {
  int sum = 0;
  for (const auto& count : state.calls) sum += count.load();
  return sum;
}

bool SocketSpy::sawHandle(Socket handle) const {
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.handles.count(handle) != 0;
}

void SocketSpy::resolveAs(const std::string& name, std::vector<SocketAddress> addresses) {
  std::lock_guard<std::mutex> lock(state.mutex);
  state.names[name] = std::move(addresses);
}

void SocketSpy::failNext(Call call, int times, int error) {
  state.failureErrors[static_cast<size_t>(call)] = error;
  state.failures[static_cast<size_t>(call)] = times;
}

void SocketSpy::afterConnect(std::function<void()> action) {
  state.afterConnect = std::move(action);
}

void SocketSpy::reset() {
  state.afterConnect = nullptr;
  for (auto& count : state.calls) count = 0;
  for (auto& count : state.failures) count = 0;
  std::lock_guard<std::mutex> lock(state.mutex);
  state.handles.clear();
}

}  // namespace qws::test

// Wraps the socket table the library calls through: counts every call, remembers
// the handles it was given, and fails chosen calls on demand.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qws::test {

enum class Call {
  kStartup,
  kCleanup,
  kCancelBlockingCall,
  kSocket,
  kSetNonBlocking,
  kAllowAddressReuse,
  kBind,
  kListen,
  kAccept,
  kConnect,
  kSelectRead,
  kPendingError,
  kSend,
  kRecv,
  kShutdown,
  kCloseSocket,
  kInetAddr,
  kResolve,
  kLocalPort,
  kStarted,
  kSelectWrite,
  kLastError,
  kDelay,
  kPoll,
  kInetPton6,
  kLocalAddress,
  kPeerAddress,
  kSocket6,  // a socket of the IPv6 family (counted as kSocket too)
  kCount
};

class SocketSpy {
 public:
  SocketSpy();
  ~SocketSpy();
  SocketSpy(const SocketSpy&) = delete;
  SocketSpy& operator=(const SocketSpy&) = delete;

  int calls(Call call) const;
  int total() const;
  bool sawHandle(platform::Socket handle) const;
  // The next `times` calls of this kind fail without reaching the platform, with
  // `error` (0: a reset, 10054).
  void failNext(Call call, int times = 1, int error = 0);
  // Runs `action` after every real connect, before the library goes on.
  void afterConnect(std::function<void()> action);
  // The resolver finds these addresses, in this order, for `name` (and the system's
  // resolver answers for other names).
  void resolveAs(const std::string& name, std::vector<platform::SocketAddress> addresses);
  void reset();
};

}  // namespace qws::test

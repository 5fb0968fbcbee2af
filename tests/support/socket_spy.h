// Wraps the socket table the library calls through: counts every call, remembers
// the handles it was given, and fails chosen calls on demand.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <set>

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
  kLookupHost,
  kLocalPort,
  kStarted,
  kSelectWrite,
  kLastError,
  kDelay,
  kPoll,
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
  // The next `times` calls of this kind fail without reaching the platform.
  void failNext(Call call, int times = 1);
  // Runs `action` after every real connect, before the library goes on.
  void afterConnect(std::function<void()> action);
  void reset();
};

}  // namespace qws::test

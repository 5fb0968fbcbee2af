// Runs host code at the library's message-pump points, once per outermost pass,
// the way a host's message handler would: on Linux through SetMessagePump, on
// Windows through a message-only window whose procedure runs the code.
#pragma once

#include <functional>

namespace qws::test {

class PumpHook {
 public:
  explicit PumpHook(std::function<void()> onPass);
  ~PumpHook();
  PumpHook(const PumpHook&) = delete;
  PumpHook& operator=(const PumpHook&) = delete;

  int passes() const { return passes_; }

  // Called by the platform's mechanism.
  void Run();

 private:
  std::function<void()> onPass_;
  bool running_ = false;
  int passes_ = 0;
  void* window_ = nullptr;
};

}  // namespace qws::test

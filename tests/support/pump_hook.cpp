#include "pump_hook.h"

namespace qws::test {

void PumpHook::Run() {
  if (running_) return;  // a pass nested inside the hook's own calls
  running_ = true;
  ++passes_;
  onPass_();
  running_ = false;
}

}  // namespace qws::test

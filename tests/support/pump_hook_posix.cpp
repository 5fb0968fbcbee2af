#include "Quillmar_ws.h"
#include "pump_hook.h"

namespace qws::test {
namespace {

void Trampoline(void* context) { static_cast<PumpHook*>(context)->Run(); }

}  // namespace

PumpHook::PumpHook(std::function<void()> onPass) : onPass_(std::move(onPass)) {
  SetMessagePump(Trampoline, this);
}

PumpHook::~PumpHook() { SetMessagePump(nullptr, nullptr); }

}  // namespace qws::test

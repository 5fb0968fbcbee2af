#include <windows.h>

#include "pump_hook.h"

namespace qws::test {
namespace {

constexpr UINT kRunHook = WM_APP + 1;
constexpr wchar_t kClassName[] = L"QuillmarWsTestPumpHook";

// Each run posts the next one first, so that every later pass finds one waiting.
LRESULT CALLBACK HookWindow(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != kRunHook) return DefWindowProcW(window, message, wparam, lparam);
  PostMessageW(window, kRunHook, 0, 0);
  reinterpret_cast<PumpHook*>(GetWindowLongPtrW(window, GWLP_USERDATA))->Run();
  return 0;
}

void RegisterHookClass() {
  static const bool registered = [] {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = HookWindow;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    return RegisterClassW(&windowClass) != 0;
  }();
  (void)registered;
}

}  // namespace

PumpHook::PumpHook(std::function<void()> onPass) : onPass_(std::move(onPass)) {
  RegisterHookClass();
  HWND window = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  PostMessageW(window, kRunHook, 0, 0);
  window_ = window;
}

PumpHook::~PumpHook() {
  DestroyWindow(static_cast<HWND>(window_));
  MSG msg;
  while (PeekMessageW(&msg, nullptr, kRunHook, kRunHook, PM_REMOVE)) {
  }
}

}  // namespace qws::test

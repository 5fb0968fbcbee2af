// Exports that only the Linux library has: the string allocator and message pump
// that Windows hosts get from the system.
#include "platform/platform.h"

extern "C" {

HostString HostStringAlloc(const char16_t* units, uint32_t count) {
  return qws::platform::NewString(units, count);
}

HostString HostStringAllocBytes(const char* bytes, uint32_t count) {
  return qws::platform::NewStringBytes(bytes, count);
}

uint32_t HostStringByteLen(HostString s) { return qws::platform::StringByteLen(s); }

void HostStringFree(HostString s) { qws::platform::FreeString(s); }

void SetMessagePump(void (*pump)(void* context), void* context) {
  qws::platform::SetPumpHook(pump, context);
}

}  // extern "C"

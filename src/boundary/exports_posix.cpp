// Exports that only the Linux library has: the name DllMain itself (no loader
// calls it here), and the string allocator and message pump that Windows hosts
// get from the system.
#include "platform/platform.h"

extern "C" {

int32_t ExportedDllMain(int32_t* hinst, int32_t* reason, int32_t* reserved);

QWS_EXPORT int32_t DllMain(int32_t* hinst, int32_t* reason, int32_t* reserved) {
  return ExportedDllMain(hinst, reason, reserved);
}

QWS_EXPORT HostString HostStringAlloc(const char16_t* units, uint32_t count) {
  return qws::platform::NewString(units, count);
}

QWS_EXPORT HostString HostStringAllocBytes(const char* bytes, uint32_t count) {
  return qws::platform::NewStringBytes(bytes, count);
}

QWS_EXPORT uint32_t HostStringByteLen(HostString s) { return qws::platform::StringByteLen(s); }

QWS_EXPORT void HostStringFree(HostString s) { qws::platform::FreeString(s); }

QWS_EXPORT void SetMessagePump(void (*pump)(void* context), void* context) {
  qws::platform::SetPumpHook(pump, context);
}

}  // extern "C"

// There is no COM on Linux. The four entry points keep the export surface the
// same everywhere and report that there is nothing to serve.
#include "Quillmar_ws.h"

namespace {

constexpr HRESULT kNotImplemented = static_cast<HRESULT>(0x80004001);
constexpr HRESULT kClassNotAvailable = static_cast<HRESULT>(0x80040111);

}  // namespace

extern "C" {

// @15 DllCanUnloadNow
HRESULT DllCanUnloadNow() { return kNotImplemented; }

// @16 DllGetClassObject
HRESULT DllGetClassObject(const void*, const void*, void** object) {
  if (object != nullptr) *object = nullptr;
  return kClassNotAvailable;
}

// @17 DllRegisterServer
HRESULT DllRegisterServer() { return kNotImplemented; }

// @18 DllUnregisterServer
HRESULT DllUnregisterServer() { return kNotImplemented; }

}  // extern "C"

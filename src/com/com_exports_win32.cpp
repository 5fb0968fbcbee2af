// The COM server's entry points, with the signatures the system declares.
#include "com_server.h"
#include "registration.h"

#include "Quillmarws_h.h"

// @15 DllCanUnloadNow
STDAPI DllCanUnloadNow() { return qws::com::InUse() ? S_FALSE : S_OK; }

// @16 DllGetClassObject
STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid != CLSID_ws_class) return CLASS_E_CLASSNOTAVAILABLE;
  return qws::com::ClassFactory()->QueryInterface(iid, out);
}

// @17 DllRegisterServer
STDAPI DllRegisterServer() { return qws::com::Register(); }

// @18 DllUnregisterServer
STDAPI DllUnregisterServer() { return qws::com::Unregister(); }

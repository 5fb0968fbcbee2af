/* A host that is itself a DLL, with no DllMain of its own, linked against the
   import library: it must load, and its export must reach the library. */
#include "Quillmar_ws.h"

__declspec(dllexport) int __stdcall PluginCheck(void) {
  HostString text = DataArrivalTCP();
  const int empty = SysStringLen(text) == 0;
  SysFreeString(text);
  return empty ? 42 : 0;
}

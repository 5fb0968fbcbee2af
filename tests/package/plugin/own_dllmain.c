/* A host DLL with a DllMain of its own includes the header without a clash. */
#include <windows.h>

#include "Quillmar_ws.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}

__declspec(dllexport) int __stdcall Closed(void) { return CloseTCP(); }

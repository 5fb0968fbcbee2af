// The in-process COM server: the one class, its factory and the counts that
// say whether the library may be unloaded.
#pragma once

#include <windows.h>

#include <ole2.h>

namespace qws::com {

// The factory of ws_class; it lives as long as the library.
IClassFactory* ClassFactory();
bool InUse();
// The library's own file, whose resources hold the type library.
HRESULT ModulePath(wchar_t* path, DWORD capacity);

}  // namespace qws::com

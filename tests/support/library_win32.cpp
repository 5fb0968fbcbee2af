#include <windows.h>

#include "library.h"

namespace qws::test {

Library::Library(const char* path) : handle_(LoadLibraryA(path)) {}

Library::~Library() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}

void* Library::symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void* Library::ordinal(int number) const {
  return reinterpret_cast<void*>(
      GetProcAddress(static_cast<HMODULE>(handle_), MAKEINTRESOURCEA(number)));
}

bool HasOrdinals() { return true; }

}  // namespace qws::test

#include <dlfcn.h>

#include "library.h"

namespace qws::test {

Library::Library(const char* path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}

Library::~Library() {
  if (handle_ != nullptr) dlclose(handle_);
}

void* Library::symbol(const char* name) const { return dlsym(handle_, name); }

void* Library::ordinal(int) const { return nullptr; }

bool HasOrdinals() { return false; }

}  // namespace qws::test

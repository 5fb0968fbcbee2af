#include <windows.h>

#include "descriptors.h"

namespace qws::test {

int OpenDescriptors() {
  DWORD count = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}

}  // namespace qws::test

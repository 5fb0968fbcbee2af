#include <windows.h>

#include <psapi.h>

#include "memory_use.h"

namespace qws::test {

double ResidentBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return static_cast<double>(counters.WorkingSetSize);
}

}  // namespace qws::test

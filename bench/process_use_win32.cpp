#include <windows.h>

#include <psapi.h>

#include "process_use.h"

namespace qws::test {

double ResidentBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return static_cast<double>(counters.WorkingSetSize);
}

// Kernel and user time, in units of 100 ns.
double ThreadProcessorSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  const auto ticks = [](const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                               t.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) * 1e-7;
}

// Windows has no per-process limit on socket handles to raise.
void RaiseDescriptorLimit() {}

}  // namespace qws::test

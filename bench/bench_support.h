// What the benchmark files share: the benchmark interface (Google Benchmark on
// Linux, mini_benchmark.h on Windows) and the median of a run's samples.
#pragma once

#ifdef QWS_MINI_BENCHMARK
#include "mini_benchmark.h"
#else
#include <benchmark/benchmark.h>
#endif

#include <algorithm>
#include <vector>

namespace qws::test {

inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace qws::test

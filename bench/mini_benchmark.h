// The part of Google Benchmark's interface that bench/ uses, for the Windows
// builds, where no Google Benchmark library is at hand: fixed iterations, manual
// or measured time, JSON output with the same fields (name, iterations,
// real_time, cpu_time, time_unit) so that one script reads both.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace benchmark {

class State {
 public:
  explicit State(int64_t iterations) : iterations_(iterations) {}

  // What `for (auto _ : state)` binds; a destructor of its own keeps the unused
  // name from drawing a warning, as with Google Benchmark.
  struct Value {
    ~Value() {}
  };
  struct Iterator {
    State* state;
    int64_t left;
    bool operator!=(const Iterator&) const { return left > 0; }
    void operator++() { --left; }
    Value operator*() const { return {}; }
  };
  Iterator begin() {
    start_ = std::chrono::steady_clock::now();
    return {this, iterations_};
  }
  Iterator end() { return {this, 0}; }

  void SetIterationTime(double seconds) { manualSeconds_ += seconds; }
  void SkipWithError(const char* message) { error_ = message; }
  int64_t iterations() const { return iterations_; }

  std::map<std::string, double> counters;
  int64_t iterations_;
  double manualSeconds_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::string error_;
};

template <class T>
inline void DoNotOptimize(T&& value) {
  asm volatile("" : : "g"(&value) : "memory");
}

struct Registration {
  std::string name;
  std::function<void(State&)> function;
  int64_t iterations = 1000;
  bool manualTime = false;
  // QWS_BENCH_SCALE divides every iteration count (for slow hosts such as Wine).
  Registration* Iterations(int64_t n) {
    const char* scale = std::getenv("QWS_BENCH_SCALE");
    const int64_t divisor = scale != nullptr ? std::max<int64_t>(1, std::atoll(scale)) : 1;
    iterations = std::max<int64_t>(1, n / divisor);
    return this;
  }
  Registration* UseManualTime() {
    manualTime = true;
    return this;
  }
  Registration* Unit(int) { return this; }
};

inline std::vector<Registration*>& Registry() {
  static std::vector<Registration*> registry;
  return registry;
}

inline Registration* Register(const char* name, void (*function)(State&)) {
  Registry().push_back(new Registration{name, function});
  return Registry().back();
}

inline int RunAll() {
  std::printf("{\n  \"context\": {\"library_build_type\": \"mini\"},\n  \"benchmarks\": [\n");
  bool first = true;
  // QWS_BENCH_FILTER: only the benchmarks whose name holds it.
  const char* filter = std::getenv("QWS_BENCH_FILTER");
  for (Registration* r : Registry()) {
    if (filter != nullptr && r->name.find(filter) == std::string::npos) continue;
    State state(r->iterations);
    const auto start = std::chrono::steady_clock::now();
    r->function(state);
    const double measured =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double seconds = r->manualTime ? state.manualSeconds_ : measured;
    const double ns = seconds * 1e9 / static_cast<double>(state.iterations_);
    std::printf(
        "%s    {\"name\": \"%s\", \"iterations\": %lld, \"real_time\": %.3f, \"cpu_time\": %.3f, "
        "\"time_unit\": \"ns\"",
        first ? "" : ",\n", r->name.c_str(), static_cast<long long>(state.iterations_), ns, ns);
    for (const auto& [key, value] : state.counters)
      std::printf(", \"%s\": %.6g", key.c_str(), value);
    if (!state.error_.empty()) std::printf(", \"error_message\": \"%s\"", state.error_.c_str());
    std::printf("}");
    first = false;
  }
  std::printf("\n  ]\n}\n");
  return 0;
}

}  // namespace benchmark

#define QWS_BENCH_CONCAT2(a, b) a##b
#define QWS_BENCH_CONCAT(a, b) QWS_BENCH_CONCAT2(a, b)
#define BENCHMARK(function)                                                     \
  static ::benchmark::Registration* QWS_BENCH_CONCAT(registration_, __LINE__) = \
      ::benchmark::Register(#function, function)
#define BENCHMARK_MAIN() \
  int main() { return ::benchmark::RunAll(); }

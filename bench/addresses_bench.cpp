// Connecting by address of either family, and by a name whose first address never
// answers: the time beyond ConnectTCP's own 800 ms of pauses.
#include <algorithm>
#include <chrono>
#include <vector>

#include "bench_support.h"
#include "support/fixtures.h"

namespace qws::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kPausesMs = 800;
constexpr int kBacklogFillers = 3;

const platform::SocketApi& Native() { return platform::NativeSockets(); }

// ConnectTCP to `host` on a listener of the library's own (both families).
void ConnectBeyondPauses(benchmark::State& state, const char* host) {
  SelectTCP(1);
  ListenerTCP(0);
  const std::u16string where = Take(LocalAddressTCP());
  const std::string narrow(where.begin(), where.end());
  const auto port = static_cast<uint16_t>(std::stoi(narrow.substr(narrow.rfind(':') + 1)));
  Text packed = Text::Packed(host);
  std::vector<double> beyond;
  for (auto _ : state) {
    SelectTCP(0);
    const auto start = Clock::now();
    const Bool16 connected = ConnectTCP(packed.get(), Port(port));
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    state.SetIterationTime(ms / 1e3);
    beyond.push_back(ms - kPausesMs);
    if (connected == kFalse) state.SkipWithError("connect failed");
    SelectTCP(1);
    AcceptTCP(2);
    SelectTCP(2);
    CloseTCP();
    SelectTCP(0);
    CloseTCP();
  }
  state.counters["median_beyond_pauses_ms"] = Median(beyond);
  SelectTCP(1);
  CloseTCP();
  SelectTCP(0);
}

void ConnectTCP_ToIpv6Loopback(benchmark::State& state) { ConnectBeyondPauses(state, "::1"); }
BENCHMARK(ConnectTCP_ToIpv6Loopback)->Iterations(7)->UseManualTime();

void ConnectTCP_ToIpv4Loopback(benchmark::State& state) { ConnectBeyondPauses(state, "127.0.0.1"); }
BENCHMARK(ConnectTCP_ToIpv4Loopback)->Iterations(7)->UseManualTime();

// A name of two addresses: 127.0.0.2, a listener whose queue is full (connection
// requests to it go unanswered), then 127.0.0.1, which listens.
platform::SocketAddress silentFirst, listeningSecond;
int ResolveSilentFirst(const char* name, platform::SocketAddress* addresses, int capacity) {
  if (std::string(name) != "silent.test" || capacity < 2) {
    return Native().resolve(name, addresses, capacity);
  }
  addresses[0] = silentFirst;
  addresses[1] = listeningSecond;
  return 2;
}

void ConnectTCP_FirstAddressSilent(benchmark::State& state) {
  Peer listener = Peer::Listening();
  const uint16_t port = listener.port();
  platform::StartupData data{};
  Native().startup(&data);
  silentFirst = LoopbackAddress(port);
  silentFirst.address = Native().inetAddr("127.0.0.2");
  listeningSecond = LoopbackAddress(port);
  const platform::Socket silent = Native().socket(platform::kAddressFamilyInet);
  Native().bind(silent, &silentFirst);
  Native().listen(silent, 0);
  std::vector<platform::Socket> fillers;
  for (int i = 0; i < kBacklogFillers; ++i) {
    fillers.push_back(Native().socket(platform::kAddressFamilyInet));
    Native().setNonBlocking(fillers.back());
    Native().connect(fillers.back(), &silentFirst);
  }
  platform::SocketApi api = Native();
  api.resolve = ResolveSilentFirst;
  platform::UseSockets(&api);
  Text host = Text::Packed("silent.test");
  std::vector<double> beyond;
  for (auto _ : state) {
    const auto start = Clock::now();
    const Bool16 connected = ConnectTCP(host.get(), Port(port));
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    state.SetIterationTime(ms / 1e3);
    beyond.push_back(ms - kPausesMs);
    if (connected == kFalse) state.SkipWithError("connect failed");
    Peer accepted = listener.Accept();
    accepted.EndSending();
    CloseTCP();
  }
  platform::UseSockets(nullptr);
  state.counters["median_beyond_pauses_ms"] = Median(beyond);
  for (const platform::Socket filler : fillers) Native().closesocket(filler);
  Native().closesocket(silent);
  Native().cleanup();
}
BENCHMARK(ConnectTCP_FirstAddressSilent)->Iterations(5)->UseManualTime();

}  // namespace
}  // namespace qws::test

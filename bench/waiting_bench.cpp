// One wait for many connections: its idle look against the bare poll under it,
// how fast it wakes, what it costs while idle, its fairness, and a burst of
// clients admitted with it and AcceptTCP against a bare accept loop.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "process_use.h"
#include "support/fixtures.h"

namespace qws::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSlots = 1000;
constexpr int kWakes = 200;
constexpr int32_t kWakeWait = 1000;       // ms: the wait that the peer's send ends
constexpr int32_t kIdleCostWait = 10000;  // ms
constexpr int kFairnessReturns = 1000;
constexpr auto kBeforeSend = std::chrono::milliseconds(2);
constexpr auto kDelivered = std::chrono::milliseconds(100);  // for bytes sent on loopback

const platform::SocketApi& Native() { return platform::NativeSockets(); }

// `count` client connections in slots 1 up, each with its server end.
class Slots {
 public:
  explicit Slots(int count) : listener_(Peer::Listening()) {
    RaiseDescriptorLimit();
    for (int slot = 1; slot <= count; ++slot) {
      SelectTCP(static_cast<int16_t>(slot));
      AttachClient(listener_.port());
      servers_.push_back(listener_.Accept());
      ThisThreadRecord().state = ConnectionState::kConnected;
    }
    SelectTCP(0);
  }
  ~Slots() {
    for (size_t i = 0; i < servers_.size(); ++i) {
      servers_[i].EndSending();
      SelectTCP(static_cast<int16_t>(i + 1));
      CloseTCP();
    }
    SelectTCP(0);
  }
  Peer& server(int slot) { return servers_[static_cast<size_t>(slot - 1)]; }
  std::vector<platform::PollEntry> Entries() const {
    std::vector<platform::PollEntry> entries;
    for (size_t i = 0; i < servers_.size(); ++i) {
      entries.push_back({ThisThreadSlot(static_cast<int16_t>(i + 1)).mainSocket.value});
    }
    return entries;
  }

 private:
  Peer listener_;
  std::vector<Peer> servers_;
};

// --- the idle look -------------------------------------------------------------

void WaitTCP_IdleLookOver1000Slots(benchmark::State& state) {
  Slots slots(kSlots);
  for (auto _ : state) benchmark::DoNotOptimize(WaitTCP(0));
}
BENCHMARK(WaitTCP_IdleLookOver1000Slots)->Iterations(2000);

// The platform's own poll (poll; WSAPoll under Windows) over the same sockets, its
// entries made once.
void BarePoll_IdleOver1000Sockets(benchmark::State& state) {
  Slots slots(kSlots);
  std::vector<platform::PollEntry> entries = slots.Entries();
  platform::ThreadWait wait;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Native().poll(wait, entries.data(), kSlots, 0));
  }
}
BENCHMARK(BarePoll_IdleOver1000Sockets)->Iterations(2000);

// What a host without the wait does instead: a pass in every slot.
void DataArrivalTCP_IdleRoundOver1000Slots(benchmark::State& state) {
  Slots slots(kSlots);
  for (auto _ : state) {
    for (int slot = 1; slot <= kSlots; ++slot) {
      SelectTCP(static_cast<int16_t>(slot));
      platform::FreeString(DataArrivalTCP());
    }
  }
  SelectTCP(0);
}
BENCHMARK(DataArrivalTCP_IdleRoundOver1000Slots)->Iterations(200);

// --- waking ----------------------------------------------------------------------

// The peer sends one byte while the host waits; from the send to the wait's return.
void WaitTCP_WakeOnData(benchmark::State& state) {
  Slots slots(1);
  Peer& last = slots.server(1);
  for (auto _ : state) {
    std::vector<double> wakes;
    std::atomic<Clock::rep> sentAt{0};
    std::thread sender([&] {
      for (int i = 0; i < kWakes; ++i) {
        std::this_thread::sleep_for(kBeforeSend);
        sentAt = Clock::now().time_since_epoch().count();
        last.Send("w");
        while (sentAt != 0) std::this_thread::yield();
      }
    });
    for (int i = 0; i < kWakes; ++i) {
      const int32_t slot = WaitTCP(kWakeWait);
      const Clock::rep woke = Clock::now().time_since_epoch().count();
      wakes.push_back(
          std::chrono::duration<double, std::micro>(Clock::duration(woke - sentAt.load())).count());
      SelectTCP(static_cast<int16_t>(slot < 0 ? 1 : slot));
      platform::FreeString(DataArrivalBytesTCP());
      sentAt = 0;
    }
    sender.join();
    SelectTCP(0);
    state.SetIterationTime(Median(wakes) / 1e6);
    state.counters["median_wake_us"] = Median(wakes);
  }
}
BENCHMARK(WaitTCP_WakeOnData)->Iterations(1)->UseManualTime();

// --- idle cost -------------------------------------------------------------------

std::atomic<int> looks{0};
int CountedPoll(platform::ThreadWait& wait, platform::PollEntry* entries, int count,
                int32_t milliseconds) {
  ++looks;
  return Native().poll(wait, entries, count, milliseconds);
}

// A long wait over idle slots with no pump: its processor time and its wakes.
void WaitTCP_IdleCostOver1000Slots(benchmark::State& state) {
  Slots slots(kSlots);
  platform::SocketApi counting = Native();
  counting.poll = CountedPoll;
  // Windows registers each socket with the thread's wait once, at its first wait:
  // that is the connection's cost, not the idle wait's.
  WaitTCP(1);
  for (auto _ : state) {
    looks = 0;
    platform::UseSockets(&counting);
    const double processorBefore = ThreadProcessorSeconds();
    const auto start = Clock::now();
    benchmark::DoNotOptimize(WaitTCP(kIdleCostWait));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double processor = ThreadProcessorSeconds() - processorBefore;
    platform::UseSockets(nullptr);
    state.SetIterationTime(seconds);
    state.counters["processor_percent"] = 100 * processor / seconds;
    state.counters["wakes_per_second"] = looks.load() / seconds;
  }
}
BENCHMARK(WaitTCP_IdleCostOver1000Slots)->Iterations(1)->UseManualTime();

// --- fairness ----------------------------------------------------------------------

// Two slots always in need: the share of returns the less favoured one gets.
void WaitTCP_FairnessOfTwoReadySlots(benchmark::State& state) {
  Slots slots(2);
  slots.server(1).Send("never taken");
  slots.server(2).Send("never taken");
  std::this_thread::sleep_for(kDelivered);
  for (auto _ : state) {
    int first = 0, second = 0;
    for (int i = 0; i < kFairnessReturns; ++i) {
      const int32_t slot = WaitTCP(0);
      first += slot == 1;
      second += slot == 2;
    }
    state.counters["least_share_percent"] = 100.0 * std::min(first, second) / kFairnessReturns;
  }
}
BENCHMARK(WaitTCP_FairnessOfTwoReadySlots)->Iterations(1);

// --- a burst of clients --------------------------------------------------------------

// kSlots clients connect at once; the time until the last is accepted into a slot.
void AcceptTCP_BurstOf1000Clients(benchmark::State& state) {
  RaiseDescriptorLimit();
  const uint16_t port = FreePort();
  for (auto _ : state) {
    ListenerTCP(static_cast<int16_t>(port));
    std::vector<Peer> clients;
    const auto start = Clock::now();
    for (int i = 0; i < kSlots; ++i) clients.push_back(Peer::ConnectedTo(port));
    int accepted = 0;
    while (accepted < kSlots && WaitTCP(kWakeWait) == 0) {
      while (accepted < kSlots && AcceptTCP(static_cast<int16_t>(accepted + 1)) != kFalse) {
        ++accepted;
      }
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    state.counters["accepted"] = accepted;
    for (Peer& client : clients) client.Close();
    for (int slot = 1; slot <= accepted; ++slot) {
      SelectTCP(static_cast<int16_t>(slot));
      CloseTCP();
    }
    SelectTCP(0);
    CloseTCP();
  }
}
BENCHMARK(AcceptTCP_BurstOf1000Clients)->Iterations(1)->UseManualTime();

// The same burst on the same kind of listener, taken with bare select and accept.
void BareAccept_BurstOf1000Clients(benchmark::State& state) {
  RaiseDescriptorLimit();
  const uint16_t port = FreePort();
  for (auto _ : state) {
    ListenerTCP(static_cast<int16_t>(port));
    const Socket listening = ThisThreadRecord().mainSocket.value;
    std::vector<Peer> clients;
    std::vector<Socket> servers;
    const auto start = Clock::now();
    for (int i = 0; i < kSlots; ++i) clients.push_back(Peer::ConnectedTo(port));
    while (servers.size() < static_cast<size_t>(kSlots) &&
           Native().selectRead(listening, kWakeWait * 1000L) > 0) {
      for (Socket s = Native().accept(listening); s != platform::kInvalidSocket;
           s = Native().accept(listening)) {
        servers.push_back(s);
      }
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    state.counters["accepted"] = static_cast<double>(servers.size());
    for (Peer& client : clients) client.Close();
    for (const Socket s : servers) Native().closesocket(s);
    CloseTCP();
  }
}
BENCHMARK(BareAccept_BurstOf1000Clients)->Iterations(1)->UseManualTime();

}  // namespace
}  // namespace qws::test

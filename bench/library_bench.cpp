// What the library costs on top of the system calls under it. The fixed pauses are
// part of the contract; everything else is overhead, measured against the call
// that is the floor. bench/ratios.py turns the output into the ratios.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "process_use.h"
#include "support/fixtures.h"

namespace qws::test {
namespace {

constexpr int kReceiveSize = 64;
// 64 MiB; QWS_BENCH_DRAIN_MIB makes it less where passes are slow (Wine), and
// QWS_BENCH_BYTE_DRAIN_MIB sets the byte drains apart: they move a thousand times
// more per pass, and a coarse thread clock (Wine's) needs them to run long enough.
size_t MiBFrom(const char* variable, size_t otherwise) {
  const char* mib = std::getenv(variable);
  return (mib != nullptr ? static_cast<size_t>(std::atoi(mib)) : otherwise) << 20;
}
size_t DrainBytes() { return MiBFrom("QWS_BENCH_DRAIN_MIB", 64); }
size_t ByteDrainBytes() { return MiBFrom("QWS_BENCH_BYTE_DRAIN_MIB", DrainBytes() >> 20); }
using Clock = std::chrono::steady_clock;

const platform::SocketApi& Native() { return platform::NativeSockets(); }
Socket ClientSocket() { return ThisThreadRecord().mainSocket.value; }

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// --- a receive pass with nothing waiting, against a bare recv ----------------

void DataArrivalTCP_NothingWaiting(benchmark::State& state) {
  AttachedPair pair;
  for (auto _ : state) platform::FreeString(DataArrivalTCP());
}
BENCHMARK(DataArrivalTCP_NothingWaiting)->Iterations(200000);

void BareRecv_NothingWaiting(benchmark::State& state) {
  AttachedPair pair;
  char buffer[kReceiveSize];
  for (auto _ : state)
    benchmark::DoNotOptimize(Native().recv(ClientSocket(), buffer, kReceiveSize, 0));
}
BENCHMARK(BareRecv_NothingWaiting)->Iterations(200000);

// --- draining 64 MiB ------------------------------------------------------------
// The wall time of a drain waits on the sending thread beside it as much as on the
// receiver; the receiving thread's own processor time per MiB is what the library
// adds, and the ratios compare that.

template <class ReceiveSome>
void Drain(benchmark::State& state, size_t drainBytes, ReceiveSome receiveSome) {
  double processor = 0;
  for (auto _ : state) {
    AttachedPair pair;
    const std::string chunk(1 << 20, 'z');
    std::thread sender([&] {
      for (size_t sent = 0; sent < drainBytes; sent += chunk.size())
        pair.server.Send(chunk, 60000ms);
    });
    const auto start = Clock::now();
    const double processorAtStart = ThreadProcessorSeconds();
    size_t received = 0;
    while (received < drainBytes) received += receiveSome();
    processor += ThreadProcessorSeconds() - processorAtStart;
    state.SetIterationTime(Seconds(Clock::now() - start));
    sender.join();
  }
  state.counters["bytes"] = static_cast<double>(drainBytes);
  const double mib =
      static_cast<double>(drainBytes >> 20) * static_cast<double>(state.iterations());
  state.counters["processor_us_per_mib"] = processor * 1e6 / mib;
}

void DataArrivalTCP_Drain64MiB(benchmark::State& state) {
  Drain(state, DrainBytes(), [] {
    HostString text = DataArrivalTCP();
    const size_t units = platform::StringByteLen(text) / 2;
    platform::FreeString(text);
    return units;
  });
}
BENCHMARK(DataArrivalTCP_Drain64MiB)->Iterations(3)->UseManualTime();

void BareRecv_Drain64MiB(benchmark::State& state) {
  Drain(state, DrainBytes(), [] {
    char buffer[kReceiveSize];
    const int n = Native().recv(ClientSocket(), buffer, kReceiveSize, 0);
    return n > 0 ? static_cast<size_t>(n) : 0;
  });
}
BENCHMARK(BareRecv_Drain64MiB)->Iterations(3)->UseManualTime();

// The byte receive against a bare recv of the same 64 KiB.
void DataArrivalBytesTCP_Drain64MiB(benchmark::State& state) {
  Drain(state, ByteDrainBytes(), [] {
    HostString bytes = DataArrivalBytesTCP();
    const size_t count = platform::StringByteLen(bytes);
    platform::FreeString(bytes);
    return count;
  });
}
BENCHMARK(DataArrivalBytesTCP_Drain64MiB)->Iterations(3)->UseManualTime();

void BareRecv64KiB_Drain64MiB(benchmark::State& state) {
  std::vector<char> buffer(kBytesReceiveSize);
  Drain(state, ByteDrainBytes(), [&] {
    const int n = Native().recv(ClientSocket(), buffer.data(), kBytesReceiveSize, 0);
    return n > 0 ? static_cast<size_t>(n) : 0;
  });
}
BENCHMARK(BareRecv64KiB_Drain64MiB)->Iterations(3)->UseManualTime();

// --- SendTCP against its 100 ms pause ----------------------------------------------

void SendTCP_64Bytes(benchmark::State& state) {
  AttachedPair pair;
  Text text = Text::Wide(std::u16string(64, u's'));
  std::vector<double> overheads;
  for (auto _ : state) {
    const auto start = Clock::now();
    benchmark::DoNotOptimize(SendTCP(text.get()));
    const double seconds = Seconds(Clock::now() - start);
    state.SetIterationTime(seconds);
    overheads.push_back((seconds - 0.100) * 1e3);
  }
  state.counters["median_overhead_ms"] = Median(overheads);
}
BENCHMARK(SendTCP_64Bytes)->Iterations(21)->UseManualTime();

// --- ConnectTCP against its 800 ms of pauses -------------------------------------

void ConnectTCP_Loopback(benchmark::State& state) {
  Peer listener = Peer::Listening();
  Text host = Text::Packed("127.0.0.1");
  std::vector<double> overheads;
  for (auto _ : state) {
    const auto start = Clock::now();
    const Bool16 connected = ConnectTCP(host.get(), Port(listener.port()));
    const double seconds = Seconds(Clock::now() - start);
    state.SetIterationTime(seconds);
    overheads.push_back((seconds - 0.800) * 1e3);
    if (connected == kFalse) state.SkipWithError("connect failed");
    Peer accepted = listener.Accept();
    CloseTCP();
  }
  state.counters["median_overhead_ms"] = Median(overheads);
}
BENCHMARK(ConnectTCP_Loopback)->Iterations(7)->UseManualTime();

// --- CloseTCP: the graceful close, with a line unread and a MiB just sent -----------
// A peer that reads and ends its side when it sees the end costs a round trip and
// its reading; one that never does holds the close for the bound (3 s).

void CloseAfterSending(benchmark::State& state, bool peerEnds) {
  constexpr size_t kSent = 1 << 20;
  const std::string bulk = Pattern(kSent);
  std::vector<double> times;
  for (auto _ : state) {
    AttachedPair pair;
    pair.server.Send("a line the host never reads\n");
    std::thread peer([&] {
      if (!peerEnds) return;
      pair.server.Receive(kSent, std::chrono::milliseconds(30000));
      if (pair.server.SeesOrderlyClose()) pair.server.Close();
    });
    SendEveryByte(bulk);
    const auto start = Clock::now();
    CloseTCP();
    const double seconds = Seconds(Clock::now() - start);
    peer.join();
    state.SetIterationTime(seconds);
    times.push_back(seconds * 1e3);
  }
  state.counters["median_ms"] = Median(times);
}

void CloseTCP_PeerEndsBehindTheData(benchmark::State& state) { CloseAfterSending(state, true); }
BENCHMARK(CloseTCP_PeerEndsBehindTheData)->Iterations(7)->UseManualTime();

void CloseTCP_PeerNeverEnds(benchmark::State& state) { CloseAfterSending(state, false); }
BENCHMARK(CloseTCP_PeerNeverEnds)->Iterations(1)->UseManualTime();

// --- secure connections, against the peers of bench/tls_peer.py -----------------
// Both peers read one line "DRAIN n" per connection and send n bytes: as records on
// QWS_BENCH_TLS_PORT, plain on QWS_BENCH_PLAIN_PORT, so that the drains compare the
// client's receive alone.

using Connector = Bool16(QWS_CALL*)(HostString, int16_t);

uint16_t PeerPort(const char* name) {
  const char* port = std::getenv(name);
  return static_cast<uint16_t>(port != nullptr ? std::atoi(port) : 0);
}

bool TrustPeerAuthority() {
  static const bool trusted = [] {
    const char* path = std::getenv("QWS_BENCH_TLS_CA");
    if (path == nullptr) return false;
    Text wide = Text::Wide(Widen(path));
    return TrustTLS(wide.get()) > 0;
  }();
  return trusted;
}

void ConnectTLS_Loopback(benchmark::State& state) {
  const uint16_t port = PeerPort("QWS_BENCH_TLS_PORT");
  if (port == 0 || !TrustPeerAuthority()) {
    state.SkipWithError("no TLS peer: run under bench/tls_peer.py");
    return;
  }
  Text host = Text::Packed("localhost");
  // The first secure connection of a process loads the system's TLS stack (on
  // Windows the security package): a one-time cost, not the handshake's.
  ConnectTLS(host.get(), Port(port));
  CloseTCP();
  std::vector<double> overheads;
  for (auto _ : state) {
    const auto start = Clock::now();
    const Bool16 connected = ConnectTLS(host.get(), Port(port));
    const double seconds = Seconds(Clock::now() - start);
    state.SetIterationTime(seconds);
    overheads.push_back((seconds - 0.800) * 1e3);
    if (connected == kFalse) state.SkipWithError("secure connect failed");
    CloseTCP();
  }
  state.counters["median_overhead_ms"] = Median(overheads);
}
BENCHMARK(ConnectTLS_Loopback)->Iterations(7)->UseManualTime();

void DrainFromPeer(benchmark::State& state, const char* portName, Connector connect) {
  const uint16_t port = PeerPort(portName);
  if (port == 0 || !TrustPeerAuthority()) {
    state.SkipWithError("no TLS peer: run under bench/tls_peer.py");
    return;
  }
  const size_t drainBytes = DrainBytes();
  Text host = Text::Packed("localhost");
  Text request = Text::Packed("DRAIN " + std::to_string(drainBytes) + "\n");
  for (auto _ : state) {
    if (connect(host.get(), Port(port)) == kFalse) state.SkipWithError("connect failed");
    const auto start = Clock::now();
    SendBytesTCP(request.get());
    size_t received = 0;
    while (received < drainBytes &&
           StateTCP() == static_cast<int32_t>(ConnectionState::kConnected)) {
      HostString bytes = DataArrivalBytesTCP();
      received += platform::StringByteLen(bytes);
      platform::FreeString(bytes);
    }
    state.SetIterationTime(Seconds(Clock::now() - start));
    if (received < drainBytes) state.SkipWithError("the peer stopped early");
    CloseTCP();
  }
  state.counters["bytes"] = static_cast<double>(drainBytes);
}

void DataArrivalBytesTCP_SecureDrain(benchmark::State& state) {
  DrainFromPeer(state, "QWS_BENCH_TLS_PORT", ConnectTLS);
}
BENCHMARK(DataArrivalBytesTCP_SecureDrain)->Iterations(3)->UseManualTime();

void DataArrivalBytesTCP_PlainDrainFromPeer(benchmark::State& state) {
  DrainFromPeer(state, "QWS_BENCH_PLAIN_PORT", ConnectTCP);
}
BENCHMARK(DataArrivalBytesTCP_PlainDrainFromPeer)->Iterations(3)->UseManualTime();

// --- a poll that finds no peer, against a bare select of the same time-out ------

void ConnectRequestTCP_NoPeer(benchmark::State& state) {
  const uint16_t port = FreePort();
  if (ListenerTCP(Port(port)) == kFalse) state.SkipWithError("cannot listen");
  for (auto _ : state) benchmark::DoNotOptimize(ConnectRequestTCP());
  CloseTCP();
}
BENCHMARK(ConnectRequestTCP_NoPeer)->Iterations(3000);

// The same kind of listening socket, probed with the same time-out.
void BareSelect_NoPeer(benchmark::State& state) {
  ConnectionRecord record;
  StartWinsock(record);
  OpenSocket(record);
  Bind(record.mainSocket, LoopbackAddress(0));
  Listen(record.mainSocket, 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(Native().selectRead(record.mainSocket.value, kAcceptProbe));
  }
}
BENCHMARK(BareSelect_NoPeer)->Iterations(3000);

// --- the cost of a pass with many other threads holding connections --------------

class Holders {
 public:
  explicit Holders(int count) : listener_(Peer::Listening()) {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this] {
        AttachClient(listener_.port());
        std::unique_lock<std::mutex> lock(mutex_);
        ++holding_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return done_; });
        CloseTCP();
      });
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return holding_ == count; });
  }
  ~Holders() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

 private:
  Peer listener_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int holding_ = 0;
  bool done_ = false;
};

int ThreadCount(int wanted) {
  const char* limit = std::getenv("QWS_BENCH_MAX_THREADS");
  return limit != nullptr ? std::min(wanted, std::atoi(limit)) : wanted;
}

void DataArrivalTCP_With100Holders(benchmark::State& state) {
  Holders holders(ThreadCount(100));
  AttachedPair pair;
  for (auto _ : state) platform::FreeString(DataArrivalTCP());
}
BENCHMARK(DataArrivalTCP_With100Holders)->Iterations(100000);

void DataArrivalTCP_With1000Holders(benchmark::State& state) {
  Holders holders(ThreadCount(1000));
  AttachedPair pair;
  for (auto _ : state) platform::FreeString(DataArrivalTCP());
}
BENCHMARK(DataArrivalTCP_With1000Holders)->Iterations(100000);

// --- many connections in one thread ----------------------------------------------

constexpr int kSlotsServed = 100;

// kSlotsServed client connections in slots 1 up, each with its server end; every
// slot's close is quick, its peer having ended its side first.
class ConnectedSlots {
 public:
  ConnectedSlots() : listener_(Peer::Listening()) {
    for (int slot = 1; slot <= kSlotsServed; ++slot) {
      SelectTCP(static_cast<int16_t>(slot));
      AttachClient(listener_.port());
      servers_.push_back(listener_.Accept());
    }
    SelectTCP(0);
  }
  ~ConnectedSlots() {
    for (int slot = 1; slot <= kSlotsServed; ++slot) {
      servers_[static_cast<size_t>(slot - 1)].EndSending();
      SelectTCP(static_cast<int16_t>(slot));
      CloseTCP();
    }
    SelectTCP(0);
  }
  Socket socket(int slot) { return ThisThreadSlot(static_cast<int16_t>(slot)).mainSocket.value; }

 private:
  Peer listener_;
  std::vector<Peer> servers_;
};

// One iteration: a pass in each of the 100 slots, nothing waiting.
void DataArrivalTCP_IdlePassOver100Slots(benchmark::State& state) {
  ConnectedSlots slots;
  for (auto _ : state) {
    for (int slot = 1; slot <= kSlotsServed; ++slot) {
      SelectTCP(static_cast<int16_t>(slot));
      platform::FreeString(DataArrivalTCP());
    }
  }
}
BENCHMARK(DataArrivalTCP_IdlePassOver100Slots)->Iterations(2000);

void BareRecv_IdleOver100Sockets(benchmark::State& state) {
  ConnectedSlots slots;
  std::vector<Socket> sockets;
  for (int slot = 1; slot <= kSlotsServed; ++slot) sockets.push_back(slots.socket(slot));
  char buffer[kReceiveSize];
  for (auto _ : state) {
    for (const Socket socket : sockets) {
      benchmark::DoNotOptimize(Native().recv(socket, buffer, kReceiveSize, 0));
    }
  }
}
BENCHMARK(BareRecv_IdleOver100Sockets)->Iterations(2000);

void SelectTCP_Alone(benchmark::State& state) {
  int16_t slot = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(SelectTCP(slot));
    slot = static_cast<int16_t>(3 - slot);
  }
  SelectTCP(0);
}
BENCHMARK(SelectTCP_Alone)->Iterations(10000000);

// Accepting and handing off clients one after another: each accept's 600 ms of
// pauses is the contract, the rest is what the library adds.
void ConnectRequestTCP_HandOff100Clients(benchmark::State& state) {
  const uint16_t port = FreePort();
  for (auto _ : state) {
    ListenerTCP(static_cast<int16_t>(port));
    std::vector<Peer> clients;
    std::vector<double> beyond;
    for (int slot = 1; slot <= kSlotsServed; ++slot) {
      clients.push_back(Peer::ConnectedTo(port));
      const auto start = Clock::now();
      while (!ConnectRequestTCP()) {
      }
      HandOffTCP(static_cast<int16_t>(slot));
      beyond.push_back(Seconds(Clock::now() - start) * 1000 - kAfterAcceptPause -
                       kAcceptSettlePause);
    }
    state.SetIterationTime(0);
    state.counters["median_beyond_pauses_ms"] = Median(beyond);
    state.counters["max_beyond_pauses_ms"] = *std::max_element(beyond.begin(), beyond.end());
    for (int slot = 1; slot <= kSlotsServed; ++slot) {
      clients[static_cast<size_t>(slot - 1)].EndSending();
      SelectTCP(static_cast<int16_t>(slot));
      CloseTCP();
    }
    SelectTCP(0);
    CloseTCP();
  }
}
BENCHMARK(ConnectRequestTCP_HandOff100Clients)->Iterations(1)->UseManualTime();

// A burst: every client connects, sends 1 KB and closes before the first poll; the
// server then accepts and hands off each in turn and takes its kilobyte. Every one
// must arrive whole; the time beside the accepts' fixed pauses.
void ConnectRequestTCP_BurstOf100Clients(benchmark::State& state) {
  constexpr size_t kSent = 1024;
  const uint16_t port = FreePort();
  for (auto _ : state) {
    ListenerTCP(static_cast<int16_t>(port));
    std::vector<Peer> clients;
    for (int i = 0; i < kSlotsServed; ++i) clients.push_back(Peer::ConnectedTo(port));
    for (Peer& client : clients) {
      client.Send(std::string(kSent, 'b'));
      client.Close();
    }
    const auto start = Clock::now();
    int delivered = 0;
    for (int i = 0; i < kSlotsServed && ConnectRequestTCP() != kFalse; ++i) {
      HandOffTCP(1);
      SelectTCP(1);
      const size_t got = TakeBytes(GreetingBytesTCP()).size() + NextBytes(kSent - 64).size();
      delivered += got == kSent;
      CloseTCP();
      SelectTCP(0);
    }
    const double seconds = Seconds(Clock::now() - start);
    state.SetIterationTime(seconds);
    state.counters["clients_delivered"] = delivered;
    state.counters["beyond_pauses_ms"] =
        seconds * 1000 - kSlotsServed * (kAfterAcceptPause + kAcceptSettlePause);
    CloseTCP();
  }
}
BENCHMARK(ConnectRequestTCP_BurstOf100Clients)->Iterations(1)->UseManualTime();

// Resident memory of slots used in one thread: records with a connection each (and
// the server end of each, in this process), then records alone (a StateTCP makes one).
void SlotSize(benchmark::State& state) {
  for (auto _ : state) {
    std::thread([&] {
      const double base = ResidentBytes();
      ConnectedSlots slots;
      const double connected = ResidentBytes();
      for (int slot = kSlotsServed + 1; slot < kSlotCount; ++slot) {
        SelectTCP(static_cast<int16_t>(slot));
        benchmark::DoNotOptimize(StateTCP());
      }
      SelectTCP(0);
      state.counters["record_bytes"] = sizeof(ConnectionRecord);
      state.counters["resident_per_connected_slot_bytes"] = (connected - base) / kSlotsServed;
      state.counters["resident_per_used_slot_bytes"] =
          (ResidentBytes() - connected) / (kSlotCount - 1 - kSlotsServed);
    }).join();
  }
}
BENCHMARK(SlotSize)->Iterations(1);

// --- sizes -----------------------------------------------------------------------

void RecordAndConnectionSize(benchmark::State& state) {
  const int count = ThreadCount(1000);
  for (auto _ : state) {
    const double base = ResidentBytes();
    double idle = 0;
    {
      // The same number of threads without connections, for the threads' own share.
      std::atomic<int> started{0};
      std::atomic<bool> done{false};
      std::vector<std::thread> threads;
      for (int i = 0; i < count; ++i) {
        threads.emplace_back([&] {
          ++started;
          while (!done) std::this_thread::sleep_for(1ms);
        });
      }
      while (started < count) std::this_thread::sleep_for(1ms);
      idle = ResidentBytes();
      done = true;
      for (std::thread& thread : threads) thread.join();
    }
    double connected = 0;
    {
      Holders holders(count);
      connected = ResidentBytes();
    }
    state.counters["record_bytes"] = sizeof(ConnectionRecord);
    state.counters["connections"] = count;
    state.counters["resident_per_connection_bytes"] = (connected - idle) / count;
    state.counters["resident_per_thread_bytes"] = (idle - base) / count;
  }
}
BENCHMARK(RecordAndConnectionSize)->Iterations(1);

}  // namespace
}  // namespace qws::test

BENCHMARK_MAIN();

// Many threads of one process, half serving and half connecting through the
// library alone, each pair exchanging a mebibyte both ways (less under Wine, where
// every pass is a round trip to its server) in texts of random size: every byte
// arrives, in order, though each side closes as soon as its own exchange is over,
// and nothing stays open afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "support/descriptors.h"
#include "support/fixtures.h"

namespace qws::test {
namespace {

constexpr size_t kLargestText = 48 * 1024;
// An exchange that moves no byte for this long has stalled. A slow machine only
// makes the exchange longer: there is no deadline for the whole of it.
constexpr auto kStallLimit = std::chrono::seconds(60);

// QWS_STRESS is "PAIRS BYTES", the bytes being those each way of one pair.
struct Load {
  int pairs = 100;
  size_t bytesEachWay = 1 << 20;
};

Load Configured() {
  Load load;
  if (const char* configured = std::getenv("QWS_STRESS")) {
    char* rest = nullptr;
    load.pairs = static_cast<int>(std::strtol(configured, &rest, 10));
    load.bytesEachWay = std::strtoul(rest, nullptr, 10);
  }
  return load;
}

const Load kLoad = Configured();
const size_t kBytesEachWay = kLoad.bytesEachWay;

std::string Payload(uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(kBytesEachWay, '\0');
  for (char& c : bytes) c = static_cast<char>('0' + random() % 75);
  return bytes;
}

// Between two sends a side takes at most this many passes (4 KiB of text), so that
// both ways move at once. A side that took all that arrived before it sent again
// would hold back its own bytes for as long as its peer kept sending, and a peer
// whose sending is over would see no byte move meanwhile.
constexpr int kPassesBetweenSends = 64;

// What the start's own receive pass took first (the peer may speak before this
// side's start is over), then everything sent (resending what a partial send left)
// while collecting what arrives.
std::string Exchange(const std::string& outgoing, uint32_t seed) {
  std::mt19937 sizes(seed);
  std::string received;
  for (char16_t c : Take(GreetingTCP())) received += static_cast<char>(c);
  size_t sent = 0;
  auto lastProgress = std::chrono::steady_clock::now();
  while ((sent < outgoing.size() || received.size() < kBytesEachWay) &&
         std::chrono::steady_clock::now() - lastProgress < kStallLimit) {
    bool idle = true;
    if (sent < outgoing.size()) {
      const size_t length = std::min<size_t>(1 + sizes() % kLargestText, outgoing.size() - sent);
      const int32_t n = SendWide(Widen(outgoing.substr(sent, length)));
      if (n > 0) {
        sent += static_cast<size_t>(n);
        idle = false;
      }
    }
    for (int pass = 0; pass < kPassesBetweenSends; ++pass) {
      const std::u16string text = Take(DataArrivalTCP());
      if (text.empty()) break;
      if (text == u"Remote Disconnect") return received;
      for (char16_t c : text) received += static_cast<char>(c);
      idle = false;
    }
    if (!idle) lastProgress = std::chrono::steady_clock::now();
    if (idle && sent >= outgoing.size()) Delay(5);
  }
  return received;
}

// What the two threads of a pair share.
struct Pair {
  std::atomic<uint16_t> port{0};
  std::atomic<bool> listening{false};
};

// The port this thread's record listens on; the system picked it, so no other
// pair or process can hold it.
uint16_t ListeningPort() {
  const ConnectionRecord& record = ThisThreadRecord();
  const int port = platform::Sockets().localPort(record.mainSocket.value);
  return port > 0 ? static_cast<uint16_t>(port) : 0;
}

// Polls until the peer is accepted; none within the stall limit is a stall too.
bool Accepted() {
  const auto start = std::chrono::steady_clock::now();
  while (ConnectRequestTCP() == kFalse) {
    if (std::chrono::steady_clock::now() - start >= kStallLimit) return false;
    Delay(10);
  }
  return true;
}

TEST(Stress, ManyPairsExchangeDataBothWaysWithNothingLost) {
  const int pairs = kLoad.pairs;
  const int before = OpenDescriptors();
  std::vector<Pair> shared(static_cast<size_t>(pairs));
  std::atomic<int> intact{0};
  std::vector<std::thread> threads;
  for (int index = 0; index < pairs; ++index) {
    Pair& pair = shared[static_cast<size_t>(index)];
    const auto seed = static_cast<uint32_t>(index * 2);
    threads.emplace_back([&pair, &intact, seed] {
      const std::string outgoing = Payload(seed);
      bool accepted = ListenerTCP(0) != kFalse;
      pair.port = ListeningPort();
      pair.listening = true;
      accepted = accepted && Accepted();
      if (accepted && Exchange(outgoing, seed) == Payload(seed + 1)) ++intact;
      CloseTCP();  // which delivers what the peer has not taken yet
    });
    threads.emplace_back([&pair, &intact, seed] {
      const std::string outgoing = Payload(seed + 1);
      while (!pair.listening) Delay(5);
      Text host = Text::Packed("127.0.0.1");
      const bool connected = ConnectTCP(host.get(), Port(pair.port)) != kFalse;
      if (connected && Exchange(outgoing, seed + 1) == Payload(seed)) ++intact;
      CloseTCP();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(2 * pairs, intact.load());
  EXPECT_EQ(before, OpenDescriptors()) << "every socket is closed again";
}

}  // namespace
}  // namespace qws::test

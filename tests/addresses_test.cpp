// Every address: both families, the order of a name's attempts, both ends' addresses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"
#include "support/socket_spy.h"

namespace qws::test {
namespace {

constexpr int32_t kInvalid = 10022, kNotAvailable = 10049, kRefused = 10061;
constexpr int32_t kHostMissing = 11001, kNoFamily = 10047;
constexpr long long kPauses = 800;     // ms: ConnectTCP's own
constexpr long long kNextAfter = 250;  // ms: a name's next address after a silent one
constexpr long long kGenerous = 10000;
constexpr int kBacklogFillers = 3;

const platform::SocketApi& Native() { return platform::NativeSockets(); }

int32_t Select(int slot) { return SelectTCP(static_cast<int16_t>(slot)); }
std::u16string Peer16() { return Take(PeerAddressTCP()); }
std::u16string Local16() { return Take(LocalAddressTCP()); }

Bool16 ConnectTo(const std::string& host, uint16_t port) {
  Text packed = Text::Packed(host);
  return ConnectTCP(packed.get(), Port(port));
}

// The port at the end of "...:PORT".
uint16_t PortOf(const std::u16string& text) {
  const std::string narrow(text.begin(), text.end());
  return static_cast<uint16_t>(std::stoi(narrow.substr(narrow.rfind(':') + 1)));
}

platform::SocketAddress Six(uint16_t port) {
  platform::SocketAddress address;
  address.family = platform::kAddressFamilyInet6;
  address.port = static_cast<uint16_t>((port >> 8) | (port << 8));
  address.address6[15] = 1;  // ::1
  return address;
}

platform::SocketAddress Four(const char* text, uint16_t port) {
  platform::SocketAddress address = LoopbackAddress(port);
  address.address = Native().inetAddr(text);
  return address;
}

// A listener at 127.0.0.2 whose queue is full: connection requests to it go
// unanswered, as to an address that never answers.
class SilentAddress {
 public:
  explicit SilentAddress(uint16_t port) {
    Native().startup(&data_);
    listening_ = Native().socket(platform::kAddressFamilyInet);
    const platform::SocketAddress address = Four("127.0.0.2", port);
    bound_ = Native().bind(listening_, &address) == 0 && Native().listen(listening_, 0) == 0;
    for (int i = 0; i < kBacklogFillers; ++i) {
      platform::Socket filler = Native().socket(platform::kAddressFamilyInet);
      Native().setNonBlocking(filler);
      Native().connect(filler, &address);
      fillers_.push_back(filler);
    }
    Delay(100);
  }
  ~SilentAddress() {
    for (platform::Socket filler : fillers_) Native().closesocket(filler);
    Native().closesocket(listening_);
    Native().cleanup();
  }
  bool bound() const { return bound_; }

 private:
  platform::StartupData data_{};
  platform::Socket listening_ = 0;
  std::vector<platform::Socket> fillers_;
  bool bound_ = false;
};

// A listener on both families in slot 1: each form of address reaches it, and each
// end sees the other's address, the IPv4 ones as IPv4, until CloseTCP.
TEST(Addresses, EveryFormOfAddressReachesADualListenerAndBothEndsAreSeen) {
  std::thread([] {
    SocketSpy spy;
    spy.resolveAs("both.test", {Six(0), Four("127.0.0.1", 0)});
    Select(1);
    ASSERT_EQ(kTrue, ListenerTCP(0));
    const std::u16string listening = Local16();
    EXPECT_EQ(u"[::]:", listening.substr(0, 5)) << "one socket for both families";
    const uint16_t port = PortOf(listening);
    EXPECT_NE(0, port) << "port 0 lists the port the system chose";
    EXPECT_EQ(u"", Peer16());

    struct Form {
      const char* host;
      const char16_t* peer;  // as the server sees the client, without its port
    };
    const Form forms[] = {{"127.1", u"127.0.0.1:"},
                          {"[::1]", u"[::1]:"},
                          {"::ffff:127.0.0.1", u"127.0.0.1:"},
                          {"both.test", u"[::1]:"}};
    int slot = 2;
    for (const Form& form : forms) {
      Select(slot);
      ASSERT_EQ(kTrue, ConnectTo(form.host, port)) << form.host << " " << LastErrorTCP();
      const std::u16string client = Local16();
      const std::u16string server = Peer16();
      Select(1);
      ASSERT_EQ(kTrue, AcceptTCP(static_cast<int16_t>(slot + 1))) << form.host;
      Select(slot + 1);
      EXPECT_EQ(client, Peer16()) << form.host;
      EXPECT_EQ(form.peer, client.substr(0, std::u16string(form.peer).size())) << form.host;
      EXPECT_EQ(PortOf(server), port);
      EXPECT_EQ(std::u16string(form.peer).substr(0, 2) == u"[:" ? u"[::1]" : u"127.0.0.1",
                server.substr(0, server.rfind(u':')))
          << form.host;
      slot += 2;
    }
    // The client in slot 2 ends: both addresses stay until its CloseTCP.
    Select(2);
    const std::u16string before = Peer16();
    Select(3);
    EXPECT_EQ(0, CloseTCP());
    Select(2);
    for (int i = 0; i < 100 && StateTCP() != 4; ++i) Take(DataArrivalTCP());
    EXPECT_EQ(before, Peer16()) << "after the peer has ended";
    EXPECT_NE(u"", Local16());
    CloseTCP();
    EXPECT_EQ(u"", Peer16());
    EXPECT_EQ(u"", Local16());
    // The thread's end closes the other pairs, all within one bound.
  }).join();
}

// A name's first address never answers: the second is tried 250 ms on, and wins.
// When every address fails, the reason is the last one's.
TEST(Addresses, ANameWhoseFirstAddressIsSilentConnectsThroughTheNext) {
  Peer listener = Peer::Listening();
  const uint16_t port = listener.port();
  SilentAddress silent(port);
  ASSERT_TRUE(silent.bound());
  SocketSpy spy;
  spy.resolveAs("silent.test", {Four("127.0.0.2", port), Four("127.0.0.1", port)});
  Stopwatch connecting;
  ASSERT_EQ(kTrue, ConnectTo("silent.test", port)) << LastErrorTCP();
  EXPECT_GE(connecting.ms(), kPauses + kNextAfter);
  EXPECT_LT(connecting.ms(), kGenerous);
  EXPECT_EQ(u"127.0.0.1:" + Widen(std::to_string(port)), Peer16());
  Peer server = listener.Accept();
  ASSERT_TRUE(server.valid());
  server.EndSending();
  CloseTCP();

  const uint16_t closed = FreePort();
  spy.resolveAs("refused.test", {Six(closed), Four("127.0.0.1", closed)});
  EXPECT_EQ(kFalse, ConnectTo("refused.test", closed));
  EXPECT_EQ(kRefused, LastErrorTCP());
  CloseTCP();
}

// What cannot be a host fails at once with its reason, and nothing is opened; a
// system without IPv6 listens on IPv4 alone.
TEST(Addresses, BadHostTextsFailAtOnceAndAListenerFallsBackToIpv4) {
  SocketSpy spy;
  const std::pair<std::string, int32_t> bad[] = {
      {"[::1", kInvalid},        {"", kHostMissing},        {std::string(300, 'a'), kInvalid},
      {"127.0.0.1%2", kInvalid}, {"[localhost]", kInvalid}, {"fe80::1%lo", kInvalid},
  };
  for (const auto& [host, reason] : bad) {
    EXPECT_EQ(kFalse, ConnectTo(host, 7)) << host;
    EXPECT_EQ(reason, LastErrorTCP()) << host;
    EXPECT_EQ(0, CloseTCP());
  }
  EXPECT_EQ(kFalse, ConnectTo("127.0.0.1", 0));
  EXPECT_EQ(kNotAvailable, LastErrorTCP()) << "port 0 is no port to connect to";
  EXPECT_EQ(0, CloseTCP());
  EXPECT_EQ(0, spy.calls(Call::kSocket));
  EXPECT_EQ(0, spy.calls(Call::kDelay));
  EXPECT_EQ(0, spy.calls(Call::kResolve));

  spy.failNext(Call::kSocket6, 1, kNoFamily);
  ASSERT_EQ(kTrue, ListenerTCP(0));
  const std::u16string listening = Local16();
  EXPECT_EQ(u"0.0.0.0:", listening.substr(0, 8));
  Peer client = Peer::ConnectedTo(PortOf(listening));
  for (int i = 0; i < 100 && WaitTCP(100) != 0; ++i) {
  }
  ASSERT_EQ(kTrue, AcceptTCP(5));
  Select(5);
  EXPECT_EQ(u"127.0.0.1:", Peer16().substr(0, 10));
  client.EndSending();
  CloseTCP();
  Select(0);
  CloseTCP();
}

}  // namespace
}  // namespace qws::test

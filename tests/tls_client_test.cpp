// Secure connections against real TLS peers on 127.0.0.1. tls/tls_test.py makes
// the certificates, starts the peers and runs this program with their ports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "support/fixtures.h"
#include "support/pump_hook.h"

namespace qws::test {
namespace {

constexpr int32_t kNone = 0, kConnecting = 2, kConnected = 3, kClosedByPeer = 4, kFailed = 5;
constexpr int32_t kWouldBlock = 10035, kReset = 10054, kTimedOut = 10060;
constexpr int32_t kExpired = static_cast<int32_t>(0x800B0101u);
constexpr int32_t kUntrustedRoot = static_cast<int32_t>(0x800B0109u);
constexpr int32_t kNameMismatch = static_cast<int32_t>(0x800B010Fu);
constexpr int32_t kWrongUsage = static_cast<int32_t>(0x800B0110u);
constexpr int32_t kNotTls = static_cast<int32_t>(0x80090326u);
constexpr int32_t kFileNotFound = static_cast<int32_t>(0x80070002u);
constexpr int32_t kNoCertificate = static_cast<int32_t>(0x80092004u);
constexpr int32_t kCutShort = static_cast<int32_t>(0x80090318u);
constexpr size_t kExchangeSize = 100 * 1024;
// More than a loopback send buffer grows to (4 MiB), so that some sends wait.
constexpr size_t kSlowSendSize = 8 * 1024 * 1024;
constexpr size_t kSendBlock = 256 * 1024;
constexpr int kSlowSendBuffer = 65536;    // bytes: full within the slow reader's pause
constexpr int kResetPause = 200;          // ms for the peer's reset to arrive
constexpr int kPollStep = 5;              // ms between passes
constexpr int kPollLimit = 20000;         // ms for one transfer
constexpr long long kConnectLeast = 800;  // ms: ConnectTCP's own pauses
constexpr long long kDeadline = 10000;    // ms, the handshake's bound

std::string Setting(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : value;
}

uint16_t PortOf(const char* name) {
  const std::string text = Setting(name);
  return static_cast<uint16_t>(std::atoi(text.c_str()));
}

std::string ReceiveBytes(size_t count) { return NextBytes(count, kPollLimit); }

// Sends all of `bytes`, block by block, taking counts as SendBytesTCP gives them.
// Returns how many calls took less than they were given.
int SendAll(const std::string& bytes) {
  int short_sends = 0;
  size_t sent = 0;
  for (int waited = 0; sent < bytes.size() && waited < kPollLimit;) {
    const size_t block = std::min(kSendBlock, bytes.size() - sent);
    Text packed = Text::Packed(bytes.substr(sent, block));
    const int32_t n = SendBytesTCP(packed.get());
    if (n < 0) {
      EXPECT_EQ(kWouldBlock, LastErrorTCP());
      if (LastErrorTCP() != kWouldBlock) return short_sends;
    }
    if (n < static_cast<int32_t>(block)) {
      ++short_sends;
      Delay(kPollStep);
      waited += kPollStep;
    }
    if (n > 0) sent += static_cast<size_t>(n);
  }
  EXPECT_EQ(bytes.size(), sent);
  return short_sends;
}

Bool16 Connect(const char* port, const char* name = "localhost") {
  Text host = Text::Packed(name);
  return ConnectTLS(host.get(), Port(PortOf(port)));
}

int32_t Trust(const std::string& path) {
  Text wide = Text::Wide(Widen(path));
  return TrustTLS(wide.get());
}

class Tls : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_FALSE(Setting("QWS_TLS_CA").empty()) << "run by tls/tls_test.py";
    ASSERT_EQ(1, Trust(Setting("QWS_TLS_CA")));
  }
  void TearDown() override { CloseTCP(); }
};

TEST_F(Tls, TrustTakesOnlyFilesWithCertificates) {
  EXPECT_EQ(-1, Trust(Setting("QWS_TLS_CA") + ".missing"));
  EXPECT_EQ(kFileNotFound, LastErrorTCP());
  EXPECT_EQ(-1, Trust(Setting("QWS_TLS_NOT_PEM")));
  EXPECT_EQ(kNoCertificate, LastErrorTCP());
  EXPECT_EQ(1, Trust(Setting("QWS_TLS_CA"))) << "trusting again is no failure";
  EXPECT_EQ(0, LastErrorTCP());
}

// One connection: 100 KB each way, exact, then the peer's close_notify.
TEST_F(Tls, ExchangesExactlyBothWaysThenSeesClose) {
  Stopwatch connecting;
  ASSERT_EQ(kTrue, Connect("QWS_TLS_GOOD")) << std::hex << LastErrorTCP();
  EXPECT_GE(connecting.ms(), kConnectLeast);
  EXPECT_EQ(kConnected, StateTCP());
  EXPECT_EQ(0, LastErrorTCP());
  EXPECT_EQ(u"", Take(GreetingTCP())) << "no receive pass after the handshake";

  const std::string request = "EXCHANGE " + std::to_string(kExchangeSize) + "\n";
  EXPECT_EQ(static_cast<int32_t>(request.size()), SendWide(Widen(request)));
  EXPECT_EQ(0, SendAll(Pattern(kExchangeSize)));
  const std::string answer = ReceiveBytes(kExchangeSize);
  EXPECT_EQ(kExchangeSize, answer.size());
  EXPECT_TRUE(answer == Pattern(kExchangeSize)) << "the peer's bytes, exactly";
  EXPECT_EQ(5, SendWide(u"MORE\n"));

  // The text pass serves decrypted records 64 bytes at a time.
  std::u16string text;
  for (int waited = 0;
       waited < kPollLimit && text.find(u"Remote Disconnect") == std::u16string::npos;
       waited += kPollStep) {
    text += Take(DataArrivalTCP());
    Delay(kPollStep);
  }
  EXPECT_EQ(Widen(std::string(100, 'z')) + u"Remote Disconnect", text);
  EXPECT_EQ(kClosedByPeer, StateTCP());
  EXPECT_EQ(0, CloseTCP());
}

// Decrypted bytes that the socket no longer shows keep the slot in need.
TEST_F(Tls, AWaitSeesTheBytesTheSessionHolds) {
  ASSERT_EQ(kTrue, Connect("QWS_TLS_GOOD")) << std::hex << LastErrorTCP();
  EXPECT_EQ(-1, WaitTCP(0));
  EXPECT_EQ(9, SendWide(u"HOLD 200\n"));
  EXPECT_EQ(0, WaitTCP(kDeadline));
  std::u16string text = Take(DataArrivalTCP());
  EXPECT_EQ(64u, text.size()) << "one record came whole";
  for (int pass = 0; pass < 4 && text.size() < 200; ++pass) {
    EXPECT_EQ(0, WaitTCP(0)) << "after " << text.size() << " of 200";
    text += Take(DataArrivalTCP());
  }
  EXPECT_EQ(std::u16string(200, u'h'), text);
  EXPECT_EQ(-1, WaitTCP(0));
}

// Host code at the handshake's pump points: its send waits and its receive pass
// takes no handshake bytes, so the session comes up intact; a close there ends the
// handshake without the outer call touching the record after it.
TEST_F(Tls, CallsNestedInTheHandshakeLeaveItAlone) {
  {
    int calls = 0;
    int32_t sent = 0, error = 0, state = 0;
    PumpHook hook([&] {
      if (calls++ > 0) return;
      sent = SendWide(u"early");
      error = LastErrorTCP();
      state = StateTCP();
      Take(DataArrivalTCP());
    });
    ASSERT_EQ(kTrue, Connect("QWS_TLS_GOOD")) << std::hex << LastErrorTCP();
    EXPECT_GT(calls, 0);
    EXPECT_EQ(-1, sent);
    EXPECT_EQ(kWouldBlock, error);
    EXPECT_EQ(kConnecting, state) << "not connected before the server is verified";
  }
  const std::string request = "EXCHANGE 10\n";
  EXPECT_EQ(static_cast<int32_t>(request.size()), SendWide(Widen(request)));
  EXPECT_EQ(0, SendAll(Pattern(10)));
  EXPECT_EQ(Pattern(10), ReceiveBytes(10));
  EXPECT_EQ(0, CloseTCP());

  PumpHook closing([] { CloseTCP(); });
  EXPECT_EQ(kFalse, Connect("QWS_TLS_GOOD"));
  EXPECT_EQ(kNone, StateTCP()) << "the nested close's state stays";
}

// Everything sent reaches a peer that reads it, though records wait unread at the
// close (the peer's line, and under TLS 1.3 its session tickets), on TLS 1.3 where
// the stack has it and on TLS 1.2; close_notify comes behind the data.
TEST_F(Tls, CloseDeliversEverythingSentThoughRecordsWaitUnread) {
  constexpr size_t kBulkSize = 3000000;
  for (const char* port : {"QWS_TLS_GOOD", "QWS_TLS_GOOD12"}) {
    ASSERT_EQ(kTrue, Connect(port)) << port << std::hex << LastErrorTCP();
    const std::string request = "SINK " + std::to_string(kBulkSize) + " " + port + "\n";
    EXPECT_EQ(static_cast<int32_t>(request.size()), SendWide(Widen(request)));
    Delay(kResetPause);  // the peer's line arrives
    EXPECT_EQ(kBulkSize, SendEveryByte(Pattern(kBulkSize))) << port;
    EXPECT_EQ(0, CloseTCP());

    ASSERT_EQ(kTrue, Connect("QWS_TLS_GOOD"));
    EXPECT_GT(SendWide(Widen(std::string("VERDICT ") + port + "\n")), 0);
    const std::string expected = std::to_string(kBulkSize) + " exact close_notify\n";
    EXPECT_EQ(expected, ReceiveBytes(expected.size())) << port;
    EXPECT_EQ(0, CloseTCP());
  }
}

// A server that ends the connection without close_notify after its data: the data
// arrives, then the connection fails and keeps its reason; it is no clean end.
TEST_F(Tls, AnEndWithoutCloseNotifyFailsAfterTheData) {
  ASSERT_EQ(kTrue, Connect("QWS_TLS_GOOD")) << std::hex << LastErrorTCP();
  EXPECT_EQ(7, SendWide(u"CUT 80\n"));
  std::u16string text;
  for (int waited = 0; waited < kPollLimit && StateTCP() == kConnected; waited += kPollStep) {
    text += Take(DataArrivalTCP());
    Delay(kPollStep);
  }
  EXPECT_EQ(Widen(std::string(80, 'c')), text);
  EXPECT_EQ(kFailed, StateTCP());
  EXPECT_EQ(kCutShort, LastErrorTCP()) << std::hex << LastErrorTCP();
  EXPECT_EQ(u"", Take(DataArrivalTCP()));
  TakeBytes(DataArrivalBytesTCP());
  EXPECT_EQ(kCutShort, LastErrorTCP()) << "every later pass keeps the reason";
}

TEST_F(Tls, RefusesCertificatesThatDoNotVerify) {
  EXPECT_EQ(kFalse, Connect("QWS_TLS_OTHER_NAME"));
  EXPECT_EQ(kNameMismatch, LastErrorTCP()) << std::hex << LastErrorTCP();
  EXPECT_EQ(kFailed, StateTCP());
  EXPECT_EQ(kFalse, Connect("QWS_TLS_UNKNOWN_CA"));
  EXPECT_EQ(kUntrustedRoot, LastErrorTCP()) << std::hex << LastErrorTCP();
  EXPECT_EQ(kFalse, Connect("QWS_TLS_EXPIRED"));
  EXPECT_EQ(kExpired, LastErrorTCP()) << std::hex << LastErrorTCP();
  EXPECT_EQ(kFalse, Connect("QWS_TLS_CLIENT_ONLY")) << "a client's certificate";
  EXPECT_EQ(kWrongUsage, LastErrorTCP()) << std::hex << LastErrorTCP();
  EXPECT_EQ(-1, SendWide(u"x")) << "nothing to send on";
  EXPECT_NE(u"", Take(ErrorTextTCP(kExpired)));
  EXPECT_NE(Take(ErrorTextTCP(kNameMismatch)), Take(ErrorTextTCP(kUntrustedRoot)));
}

// What the resolver reads as an address, also in a short form, is checked against
// the certificate's addresses and goes out as no SNI (the peer says what came); the
// address as a DNS name, and as the common name, does not stand for it.
TEST_F(Tls, ChecksAnAddressAsAnAddress) {
  for (const char* address : {"127.0.0.1", "127.1"}) {
    EXPECT_EQ(kTrue, Connect("QWS_TLS_ADDRESS", address))
        << address << " " << std::hex << LastErrorTCP();
    EXPECT_EQ(u"SNI -\n", NextText()) << address;
    CloseTCP();
  }
  EXPECT_EQ(kFalse, Connect("QWS_TLS_ADDRESS_AS_NAME", "127.0.0.1"));
  EXPECT_EQ(kNameMismatch, LastErrorTCP()) << std::hex << LastErrorTCP();
  // An IPv6 literal, with or without brackets, is an address as well.
  for (const char* address : {"::1", "[::1]", "[0:0::1]"}) {
    EXPECT_EQ(kTrue, Connect("QWS_TLS_ADDRESS6", address))
        << address << " " << std::hex << LastErrorTCP();
    EXPECT_EQ(u"SNI -\n", NextText()) << address;
    CloseTCP();
  }
  EXPECT_EQ(kFalse, Connect("QWS_TLS_ADDRESS6_AS_NAME", "::1"));
  EXPECT_EQ(kNameMismatch, LastErrorTCP()) << std::hex << LastErrorTCP();
}

// A server that greets in plain text fails the handshake or keeps it waiting;
// one that says nothing keeps it waiting: both end by the deadline.
TEST_F(Tls, PlainServersFailWithinTheDeadline) {
  Stopwatch greeting;
  EXPECT_EQ(kFalse, Connect("QWS_TLS_PLAIN_GREETING"));
  EXPECT_TRUE(LastErrorTCP() == kNotTls || LastErrorTCP() == kTimedOut) << LastErrorTCP();
  EXPECT_LT(greeting.ms(), kConnectLeast + kDeadline + 3000);

  Stopwatch silent;
  EXPECT_EQ(kFalse, Connect("QWS_TLS_PLAIN_SILENT"));
  EXPECT_EQ(kTimedOut, LastErrorTCP());
  EXPECT_GE(silent.ms(), kDeadline);
  EXPECT_LT(silent.ms(), kConnectLeast + kDeadline + 3000);
}

// A reader that lets its buffer fill: sends are taken in part, and every byte
// arrives once, in order. Then a reset: the connection fails, later sends fail,
// and no signal ends the process.
TEST_F(Tls, PartialSendsUnderASlowReaderThenAReset) {
  ASSERT_EQ(kTrue, Connect("QWS_TLS_SLOW")) << std::hex << LastErrorTCP();
  LimitSendBuffer(ThisThreadRecord().mainSocket.value, kSlowSendBuffer);
  const std::string request = "SLOW " + std::to_string(kSlowSendSize) + "\n";
  EXPECT_EQ(static_cast<int32_t>(request.size()), SendWide(Widen(request)));
  EXPECT_GT(SendAll(Pattern(kSlowSendSize)), 0) << "the slow reader never held a send back";
  std::u16string verdict;
  for (int waited = 0; waited < kPollLimit && verdict.find(u"\n") == std::u16string::npos;
       waited += kPollStep) {
    verdict += Take(DataArrivalTCP());
    Delay(kPollStep);
  }
  EXPECT_EQ(u"OK " + Widen(std::to_string(kSlowSendSize)) + u"\n", verdict);

  EXPECT_GT(SendWide(u"RESET\n"), 0);
  EXPECT_EQ(std::string(1000, 'r'), ReceiveBytes(1000));
  EXPECT_EQ(4, SendWide(u"GOT\n"));
  Delay(kResetPause);
  // Wine's receive reports a reset as an end of stream: a send tells.
  Text more = Text::Packed(std::string(kSendBlock, 'm'));
  EXPECT_EQ(-1, SendBytesTCP(more.get()));
  EXPECT_EQ(kFailed, StateTCP());
  EXPECT_EQ(kReset, LastErrorTCP());
  EXPECT_EQ(-1, SendBytesTCP(more.get()));
  TakeBytes(DataArrivalBytesTCP());
  EXPECT_EQ(kFailed, StateTCP()) << "an end of stream after the reset changes nothing";
}

}  // namespace
}  // namespace qws::test

// Bytes, the connection's state, error numbers and the greeting.
#include <gtest/gtest.h>

#include <thread>

#include "support/fixtures.h"
#include "support/socket_spy.h"

namespace qws::test {
namespace {

constexpr uint32_t kUtf8 = 65001;
constexpr uint32_t kShiftJis = 932;

constexpr int32_t kNone = 0, kListening = 1, kConnected = 3, kClosedByPeer = 4, kFailed = 5;
constexpr int32_t kRefused = 10061, kAddressInUse = 10048, kReset = 10054, kHostNotFound = 11001;

std::string ReceiveBytes(size_t count) { return NextBytes(count); }

Bool16 Connect(const std::string& host, uint16_t port) {
  Text packed = Text::Packed(host);
  return ConnectTCP(packed.get(), Port(port));
}

TEST(Extension, EveryByteValuePassesUnchangedBothWays) {
  AttachedPair pair;
  ASSERT_TRUE(pair.server.valid());
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<char>(i);

  Text packed = Text::Packed(all);
  SocketSpy spy;
  EXPECT_EQ(256, SendBytesTCP(packed.get()));
  EXPECT_EQ(0, spy.calls(Call::kDelay)) << "no pause before a byte send";
  EXPECT_EQ(1, SendWide(u"!"));
  EXPECT_EQ(1, spy.calls(Call::kDelay)) << "the text send's own pause, for contrast";
  EXPECT_EQ(all + "!", pair.server.Receive(257));

  ASSERT_TRUE(pair.server.Send(all + all));
  EXPECT_EQ(all + all, ReceiveBytes(512));
  EXPECT_EQ(0u, TakeBytes(DataArrivalBytesTCP()).size()) << "nothing more";
  EXPECT_EQ(0, SendBytesTCP(nullptr));
}

// A character split across passes: the text pass holds back its first bytes, the
// byte pass delivers them before what follows.
TEST(Extension, TextAndBytePassesMixAroundAMultiByteCharacter) {
  const uint32_t codePage = platform::AnsiCodePage();
  if (codePage != kUtf8 && codePage != kShiftJis) GTEST_SKIP() << "one byte is one character";
  AttachedPair pair;
  ASSERT_TRUE(pair.server.valid());
  const std::string character = codePage == kUtf8 ? "\xE2\x82\xAC" : "\x82\xA0";
  ASSERT_TRUE(pair.server.Send("a" + character.substr(0, 1)));
  EXPECT_EQ(u"a", NextText());
  ASSERT_TRUE(pair.server.Send(character.substr(1) + "b"));
  EXPECT_EQ(character + "b", ReceiveBytes(character.size() + 1));
  ASSERT_TRUE(pair.server.Send(character));
  EXPECT_EQ(platform::AnsiToWide(character.data(), character.size()), NextText());
}

TEST(Extension, StatesErrorsAndGreetingsThroughAWholeLife) {
  int32_t freshState = -1;
  std::thread([&] { freshState = StateTCP(); }).join();
  EXPECT_EQ(kNone, freshState);

  // Server role: a client that speaks at once greets the accepting poll.
  const uint16_t port = FreePort();
  ASSERT_EQ(kTrue, ListenerTCP(Port(port)));
  EXPECT_EQ(kListening, StateTCP());
  EXPECT_EQ(0, LastErrorTCP());
  Peer client = Peer::ConnectedTo(port);
  ASSERT_TRUE(client.Send("hello server"));
  ASSERT_TRUE(PollForPeer());
  EXPECT_EQ(kConnected, StateTCP());
  EXPECT_EQ(u"hello server", Take(GreetingTCP()));
  EXPECT_EQ(u"", Take(DataArrivalTCP())) << "the greeting is not delivered again";
  client.Close();
  Delay(50);
  EXPECT_EQ(u"Remote Disconnect", Take(DataArrivalTCP()));
  EXPECT_EQ(kClosedByPeer, StateTCP());

  // A port in use.
  Peer other = Peer::Listening();
  EXPECT_EQ(kFalse, ListenerTCP(Port(other.port())));
  EXPECT_EQ(kFailed, StateTCP());
  EXPECT_EQ(kAddressInUse, LastErrorTCP());
  EXPECT_EQ(u"", Take(GreetingTCP())) << "a new start forgets the last greeting";

  // Client role: a server that greets during the pause, then resets.
  Peer listener = Peer::Listening();
  Peer server;
  std::thread greeter([&] {
    server = listener.Accept();
    std::this_thread::sleep_for(100ms);
    server.Send("welcome");
  });
  ASSERT_EQ(kTrue, Connect("127.0.0.1", listener.port()));
  greeter.join();
  EXPECT_EQ(kConnected, StateTCP());
  EXPECT_EQ(u"welcome", Take(GreetingTCP()));
  server.Reset();
  Delay(50);
  // Linux reports the reset to the next receive or send; Wine's receive reports
  // it as an end of stream, so a send tells.
  Text more = Text::Packed("more");
  EXPECT_EQ(-1, SendBytesTCP(more.get()));
  EXPECT_EQ(kFailed, StateTCP());
  EXPECT_EQ(kReset, LastErrorTCP());
  // Every later pass, text or bytes, keeps the state and its reason.
  Take(DataArrivalTCP());
  EXPECT_EQ(kFailed, StateTCP()) << "an end of stream after the reset changes nothing";
  EXPECT_EQ(kReset, LastErrorTCP());
  TakeBytes(DataArrivalBytesTCP());
  EXPECT_EQ(kFailed, StateTCP());
  EXPECT_EQ(kReset, LastErrorTCP());
  EXPECT_EQ(0, CloseTCP());
  EXPECT_EQ(kNone, StateTCP());
  EXPECT_EQ(u"", Take(GreetingTCP()));

  // Refused, and a name that does not resolve.
  EXPECT_EQ(kFalse, Connect("127.0.0.1", FreePort()));
  EXPECT_EQ(kFailed, StateTCP());
  EXPECT_EQ(kRefused, LastErrorTCP());
  EXPECT_EQ(kFalse, Connect("no-such-host.invalid", listener.port()));
  EXPECT_EQ(kHostNotFound, LastErrorTCP());
  EXPECT_EQ(0, CloseTCP());
  EXPECT_EQ(0, LastErrorTCP());

  EXPECT_EQ(u"Connection refused", Take(ErrorTextTCP(kRefused)));
  EXPECT_EQ(u"Host not found", Take(ErrorTextTCP(kHostNotFound)));
  EXPECT_EQ(u"Unknown error", Take(ErrorTextTCP(-7)));
}

// A peer that resets with what the host sent unread: the pass, the close and a send
// each report the reset (Wine shows it to a send alone), and so does the close after.
TEST(Extension, AResetIsAFailureWithItsReasonEverywhere) {
  constexpr int kResetPause = 50;  // ms for the reset to arrive
  const std::string bulk = Pattern(1 << 20);
  for (const char* seenBy : {"a pass", "the close", "a send"}) {
    AttachedPair pair;
    EXPECT_GT(SendEveryByte(bulk, 300), 0u);
    pair.server.Reset();
    Delay(kResetPause);
    const std::string by = seenBy;
    if (by == "a pass") {
      EXPECT_EQ(u"", Take(DataArrivalTCP()));
      EXPECT_EQ(kFailed, StateTCP()) << "not a close in order";
      EXPECT_EQ(kReset, LastErrorTCP());
    } else if (by == "a send") {
      Text some = Text::Packed("x");
      EXPECT_EQ(-1, SendBytesTCP(some.get()));
      EXPECT_EQ(kReset, LastErrorTCP());
    }
    EXPECT_EQ(0, CloseTCP());
    EXPECT_EQ(kReset, LastErrorTCP()) << "after " << seenBy;
  }
}

// Everything the host sent reaches a peer that reads it, though the peer's own
// line waits unread when the host closes (a close with unread bytes would reset the
// connection and discard what is still queued). A peer that never reads nor ends
// holds the close for the bound, no longer.
TEST(Extension, CloseDeliversEverythingSentThoughDataWaitsUnread) {
  constexpr size_t kBulkSize = 3000000;
  constexpr int kArrivalPause = 50;  // ms for the peer's line to arrive
  const std::string bulk = Pattern(kBulkSize);
  {
    AttachedPair pair;
    ASSERT_TRUE(pair.server.Send("a line the host never reads\n"));
    std::string received;
    bool orderly = false;
    std::thread reader([&] {
      received = pair.server.Receive(kBulkSize, 30000ms);
      orderly = pair.server.SeesOrderlyClose();
      pair.server.Close();
    });
    Delay(kArrivalPause);
    EXPECT_EQ(kBulkSize, SendEveryByte(bulk));
    CloseTCP();
    reader.join();
    EXPECT_EQ(kBulkSize, received.size());
    EXPECT_TRUE(received == bulk) << "every byte, in order";
    EXPECT_TRUE(orderly) << "an orderly end behind the data, no reset";
  }
  AttachedPair pair;
  ASSERT_TRUE(pair.server.Send("a line the host never reads\n"));
  Delay(kArrivalPause);
  EXPECT_GT(SendEveryByte(bulk, 500), 0u);
  Stopwatch closing;
  CloseTCP();
  EXPECT_GE(closing.ms(), kCloseLingerLimit);
  EXPECT_LT(closing.ms(), kCloseLingerLimit + 5000);
}

}  // namespace
}  // namespace qws::test

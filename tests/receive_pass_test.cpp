#include <gtest/gtest.h>

#include <thread>

#include "connection/operations.h"
#include "support/fixtures.h"
#include "support/pump_hook.h"
#include "support/socket_spy.h"

namespace qws::test {
namespace {

constexpr uint32_t kUtf8 = 65001;
constexpr uint32_t kShiftJis = 932;
constexpr uint32_t kWestern = 1252;

TEST(ReceivePass, ReturnsWhatArrivedAtMost64BytesAPass) {
  AttachedPair pair;
  ASSERT_TRUE(pair.server.valid());
  EXPECT_EQ(u"", Take(DataArrivalTCP())) << "nothing waiting";

  ASSERT_TRUE(pair.server.Send("hello"));
  EXPECT_EQ(u"hello", NextText());
  EXPECT_EQ(u"", Take(DataArrivalTCP()));

  const std::string hundred = std::string(60, 'a') + std::string(40, 'b');
  ASSERT_TRUE(pair.server.Send(hundred));
  Delay(100);
  EXPECT_EQ(Widen(hundred.substr(0, 64)), Take(DataArrivalTCP()));
  EXPECT_EQ(Widen(hundred.substr(64)), Take(DataArrivalTCP()));

  ASSERT_TRUE(pair.server.Send(std::string("a\0b", 3)));
  EXPECT_EQ(std::u16string(u"a\0b", 3), NextText()) << "NUL bytes arrive as U+0000";
}

TEST(ReceivePass, BytesAboveAsciiAreCodePageCharacters) {
  AttachedPair pair;
  ASSERT_TRUE(pair.server.valid());
  const uint32_t codePage = platform::AnsiCodePage();
  if (codePage == kUtf8) {
    // "é€" split inside the euro sign, then a character across the 64-byte boundary.
    ASSERT_TRUE(pair.server.Send("\xC3\xA9\xE2\x82"));
    EXPECT_EQ(u"\u00E9", NextText());
    ASSERT_TRUE(pair.server.Send("\xAC!"));
    EXPECT_EQ(u"\u20AC!", NextText());

    const std::string boundary = std::string(63, 'x') + "\xE2\x82\xAC" + "y";
    ASSERT_TRUE(pair.server.Send(boundary));
    Delay(100);
    EXPECT_EQ(Widen(std::string(63, 'x')), Take(DataArrivalTCP()));
    EXPECT_EQ(u"\u20ACy", Take(DataArrivalTCP())) << "no stray spaces, no split character";
  } else if (codePage == kShiftJis) {
    // Hiragana a (0x82 0xA0) split after its lead byte, then across the boundary.
    ASSERT_TRUE(pair.server.Send("\x82"));
    Delay(100);
    EXPECT_EQ(u"", Take(DataArrivalTCP())) << "a lead byte alone waits for its pair";
    ASSERT_TRUE(pair.server.Send("\xA0!"));
    EXPECT_EQ(u"\u3042!", NextText());

    const std::string boundary = std::string(63, 'x') + "\x82\xA0" + "y";
    ASSERT_TRUE(pair.server.Send(boundary));
    Delay(100);
    EXPECT_EQ(Widen(std::string(63, 'x')), Take(DataArrivalTCP()));
    EXPECT_EQ(u"\u3042y", Take(DataArrivalTCP()));
  } else {
    // A single-byte code page, one character per byte: in 1252 0xE9 is é, 0x80 is €.
    ASSERT_TRUE(pair.server.Send("\xE9\x80"));
    const std::u16string text = NextText();
    EXPECT_EQ(2u, text.size());
    if (codePage == kWestern) {
      EXPECT_EQ(u"\u00E9\u20AC", text);
    }
  }
}

// The first bytes of a character wait for the rest; when the peer closes instead,
// they arrive as the code page converts an unfinished character, then the close.
TEST(ReceivePass, UnfinishedCharacterIsDeliveredBeforeTheClose) {
  AttachedPair pair;
  ASSERT_TRUE(pair.server.valid());
  const uint32_t codePage = platform::AnsiCodePage();
  if (codePage != kUtf8 && codePage != kShiftJis) GTEST_SKIP() << "one byte is one character";
  const std::string lead = codePage == kUtf8 ? "\xE2\x82" : "\x82";
  ASSERT_TRUE(pair.server.Send("a" + lead));
  EXPECT_EQ(u"a", NextText());
  pair.server.Close();
  Delay(50);
  const std::u16string unfinished = Take(DataArrivalTCP());
  EXPECT_EQ(platform::AnsiToWide(lead.data(), lead.size()), unfinished);
  EXPECT_FALSE(unfinished.empty());
  EXPECT_EQ(4, StateTCP()) << "set by the pass that saw the end of stream";
  EXPECT_EQ(u"Remote Disconnect", Take(DataArrivalTCP()));
}

TEST(ReceivePass, OrderlyCloseIsRemoteDisconnectOnEveryLaterPass) {
  AttachedPair pair;
  ASSERT_TRUE(pair.server.valid());
  pair.server.Close();
  Delay(50);
  for (int pass = 0; pass < 2; ++pass) {
    Stopwatch watch;
    EXPECT_EQ(u"Remote Disconnect", Take(DataArrivalTCP()));
    EXPECT_GE(watch.ms(), 100);
    EXPECT_LT(watch.ms(), 3000);
  }
}

TEST(ReceivePass, NestedPassReturnsLastTextWithoutReceiving) {
  AttachedPair pair;
  ASSERT_TRUE(pair.server.valid());
  ASSERT_TRUE(pair.server.Send("first"));
  EXPECT_EQ(u"first", NextText());
  ASSERT_TRUE(pair.server.Send("second"));
  Delay(100);

  SocketSpy spy;
  std::u16string nested = u"unset";
  int receivesBeforeNested = -1;
  PumpHook hook([&] {
    // Pass 1 is the outer pass's first pump, with the record still free.
    if (ThisThreadRecord().ready == kFalse && receivesBeforeNested < 0) {
      receivesBeforeNested = spy.calls(Call::kRecv);
      nested = Take(DataArrivalTCP());
    }
  });
  const std::u16string outer = Take(DataArrivalTCP());
  EXPECT_EQ(u"second", outer);
  EXPECT_EQ(1, receivesBeforeNested);
  EXPECT_EQ(1, spy.calls(Call::kRecv)) << "the nested pass did not receive";
  EXPECT_EQ(u"", nested) << "during the pass the last text is empty";
  EXPECT_GE(hook.passes(), 2);
}

TEST(ReceivePass, FreshThreadGetsEmptyTextWithoutSocketCalls) {
  SocketSpy spy;
  std::u16string text = u"unset";
  std::thread fresh([&] { text = Take(DataArrivalTCP()); });
  fresh.join();
  EXPECT_EQ(u"", text);
  EXPECT_EQ(0, spy.total());
}

}  // namespace
}  // namespace qws::test

// One wait for every slot of a thread, and accepting straight into a slot.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "support/fixtures.h"
#include "support/pump_hook.h"
#include "support/socket_spy.h"

namespace qws::test {
namespace {

constexpr int32_t kNone = 0, kListening = 1, kConnected = 3, kClosedByPeer = 4;
constexpr uint32_t kUtf8 = 65001;
constexpr int32_t kLongWait = 10000;  // ms: far beyond anything the wait waits for
constexpr int32_t kIdleWait = 300;    // ms
constexpr int kTurns = 20;

int32_t Select(int slot) { return SelectTCP(static_cast<int16_t>(slot)); }

// Each test runs on a thread of its own: its slots are all its own.
template <typename Body>
void OnItsOwnThread(Body body) {
  std::thread(body).join();
}

Peer AttachSlot(int slot, Peer& listener) {
  Select(slot);
  AttachClient(listener.port());
  Peer server = listener.Accept();
  ThisThreadRecord().state = ConnectionState::kConnected;
  return server;
}

TEST(Waiting, ASlotNeedsItsHostWhileItsNextCallWouldTakeSomething) {
  OnItsOwnThread([] {
    SocketSpy spy;
    EXPECT_EQ(-1, WaitTCP(0)) << "no connection at all";
    EXPECT_EQ(-1, WaitTCP(-1));
    EXPECT_EQ(kInvalidArgument, LastErrorTCP());

    const uint16_t port = FreePort();
    Select(1);
    ASSERT_EQ(kTrue, ListenerTCP(Port(port)));
    EXPECT_EQ(-1, WaitTCP(0)) << "no peer waits";
    EXPECT_EQ(kFalse, AcceptTCP(2)) << "no peer waits";
    Peer client = Peer::ConnectedTo(port);
    ASSERT_TRUE(client.Send("first bytes"));
    EXPECT_EQ(1, WaitTCP(kLongWait)) << "a peer waits";
    EXPECT_EQ(kFalse, AcceptTCP(1)) << "the selected slot";
    EXPECT_EQ(kFalse, AcceptTCP(-1));
    spy.reset();
    ASSERT_EQ(kTrue, AcceptTCP(2));
    EXPECT_EQ(0, spy.calls(Call::kDelay)) << "no pause";
    EXPECT_EQ(0, spy.calls(Call::kRecv)) << "no receive pass";
    EXPECT_EQ(kListening, StateTCP());

    // The peer's first bytes wait for slot 2's first pass; the wait takes nothing.
    EXPECT_EQ(2, WaitTCP(kLongWait));
    EXPECT_EQ(2, WaitTCP(0)) << "nothing was taken: still in need";
    Select(2);
    EXPECT_EQ(kConnected, StateTCP());
    EXPECT_EQ(u"first bytes", Take(DataArrivalTCP()));
    EXPECT_EQ(-1, WaitTCP(0));

    // A wait over the listener and its client is one look, whoever wakes it.
    spy.reset();
    std::thread later([&] {
      Delay(100);
      client.Send("later");
    });
    EXPECT_EQ(2, WaitTCP(kLongWait));
    later.join();
    EXPECT_EQ(1, spy.calls(Call::kPoll));
    EXPECT_EQ(0, spy.calls(Call::kRecv));
    EXPECT_EQ(u"later", Take(DataArrivalTCP()));

    if (platform::AnsiCodePage() == kUtf8) {
      ASSERT_TRUE(client.Send("\xC3"));
      EXPECT_EQ(2, WaitTCP(kLongWait));
      EXPECT_EQ(u"", Take(DataArrivalTCP()));
      EXPECT_EQ(-1, WaitTCP(0)) << "half a character alone is nothing to take";
      ASSERT_TRUE(client.Send("\xA9"));
      EXPECT_EQ(2, WaitTCP(kLongWait));
      EXPECT_EQ(u"\u00E9", Take(DataArrivalTCP()));
    }

    // An ended peer keeps its slot in need until the host closes it.
    client.EndSending();
    EXPECT_EQ(2, WaitTCP(kLongWait));
    EXPECT_EQ(u"Remote Disconnect", Take(DataArrivalTCP()));
    EXPECT_EQ(kClosedByPeer, StateTCP());
    EXPECT_EQ(2, WaitTCP(0));
    EXPECT_EQ(0, CloseTCP());
    EXPECT_TRUE(client.SeesOrderlyClose());
    EXPECT_EQ(-1, WaitTCP(0));
    EXPECT_EQ(kNone, StateTCP());
    Select(1);
    CloseTCP();
  });
}

TEST(Waiting, ReadySlotsComeInTurnAndAnIdleWaitEndsOnTime) {
  OnItsOwnThread([] {
    Peer listener = Peer::Listening();
    Peer first = AttachSlot(3, listener);
    Peer second = AttachSlot(9, listener);
    ASSERT_TRUE(first.Send("3"));
    ASSERT_TRUE(second.Send("9"));
    std::set<int32_t> seen;
    for (int i = 0; i < 100 && seen.size() < 2; ++i) {
      seen.insert(WaitTCP(kLongWait));
      Delay(5);
    }
    ASSERT_EQ((std::set<int32_t>{3, 9}), seen);

    // Neither is ever served: each comes back every other time.
    int threes = 0;
    int32_t last = -1;
    for (int i = 0; i < kTurns; ++i) {
      const int32_t slot = WaitTCP(kLongWait);
      EXPECT_NE(last, slot) << "turn " << i;
      threes += slot == 3;
      last = slot;
    }
    EXPECT_EQ(kTurns / 2, threes);

    Select(3);
    EXPECT_EQ(u"3", Take(DataArrivalTCP()));
    Select(9);
    EXPECT_EQ(u"9", Take(DataArrivalTCP()));
    Stopwatch idle;
    EXPECT_EQ(-1, WaitTCP(kIdleWait));
    EXPECT_GE(idle.ms(), kIdleWait);
    EXPECT_LT(idle.ms(), kLongWait);
    for (int slot : {3, 9}) {
      Peer& peer = slot == 3 ? first : second;
      peer.EndSending();
      Select(slot);
      CloseTCP();
      EXPECT_TRUE(peer.SeesOrderlyClose());
    }
  });
}

// Host code at the wait's pump points serves its own slot, and a wait it makes
// there only looks; the outer wait sees what that code made ready.
TEST(Waiting, TheHostsMessagesRunWhileItWaitsAndANestedWaitOnlyLooks) {
  OnItsOwnThread([] {
    Peer listener = Peer::Listening();
    Peer server = AttachSlot(4, listener);
    int runs = 0;
    int32_t nested = -2;
    long long longestNested = 0;
    {
      PumpHook timer([&] {
        ++runs;
        Stopwatch looking;
        nested = WaitTCP(kLongWait);
        longestNested = std::max(longestNested, looking.ms());
        Select(6);
        if (runs == 3) server.Send("from the timer");
      });
      Select(4);
      EXPECT_EQ(4, WaitTCP(kLongWait));
      EXPECT_GE(runs, 3);
      EXPECT_LT(longestNested, kLongWait) << "a nested wait only looks";
      EXPECT_EQ(4, Select(4)) << "the timer's selection ended with it";

      // An idle wait gives the pump its turns all along.
      EXPECT_EQ(u"from the timer", NextText());
      const int before = runs;
      EXPECT_EQ(-1, WaitTCP(kIdleWait));
      EXPECT_GE(runs - before, 5);
    }
    EXPECT_EQ(-1, nested) << "the last nested look found nothing";
    server.EndSending();
    CloseTCP();
    EXPECT_TRUE(server.SeesOrderlyClose());
  });
}

}  // namespace
}  // namespace qws::test

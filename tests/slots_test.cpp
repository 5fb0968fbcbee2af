// Many connections in one thread: slots, and a listener that hands its peers off.
#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "support/fixtures.h"
#include "support/pump_hook.h"
#include "support/socket_spy.h"

namespace qws::test {
namespace {

constexpr int32_t kNone = 0, kListening = 1, kConnected = 3, kClosedByPeer = 4;
constexpr uint32_t kUtf8 = 65001;

int32_t Select(int slot) { return SelectTCP(static_cast<int16_t>(slot)); }
Bool16 HandOff(int slot) { return HandOffTCP(static_cast<int16_t>(slot)); }

// A client connection in `slot`, made directly, and its server end.
Peer AttachSlot(int slot, Peer& listener) {
  Select(slot);
  AttachClient(listener.port());
  return listener.Accept();
}

// The peer ends its side first, so that the close need not wait for it.
void CloseSlot(int slot, Peer& peer) {
  peer.EndSending();
  Select(slot);
  CloseTCP();
}

TEST(Slots, EachSlotIsAConnectionOfItsOwnInItsOwnThread) {
  EXPECT_EQ(-1, SelectTCP(-1));
  EXPECT_EQ(-1, Select(kSlotCount));
  EXPECT_EQ(0, Select(kSlotCount - 1)) << "a thread starts on slot 0; -1 changed nothing";
  EXPECT_EQ(kSlotCount - 1, SelectTCP(1));

  Peer listener = Peer::Listening();
  Peer first = AttachSlot(1, listener);
  Peer second = AttachSlot(2, listener);
  ASSERT_TRUE(first.valid() && second.valid());
  ASSERT_TRUE(first.Send("to one"));
  ASSERT_TRUE(second.Send("to two"));
  SelectTCP(1);
  EXPECT_EQ(u"to one", NextText());
  EXPECT_EQ(3, SendWide(u"one"));
  SelectTCP(2);
  EXPECT_EQ(u"to two", NextText());
  EXPECT_EQ(3, SendWide(u"two"));
  EXPECT_EQ("one", first.Receive(3));
  EXPECT_EQ("two", second.Receive(3));

  // Another thread starts on its own slot 0, and its slot 1 is not this one's.
  int32_t selectedThere = -2, stateThere = -2;
  std::thread([&] {
    selectedThere = SelectTCP(1);
    stateThere = StateTCP();
    CloseTCP();
  }).join();
  EXPECT_EQ(0, selectedThere);
  EXPECT_EQ(kNone, stateThere);
  EXPECT_EQ(2, SelectTCP(2)) << "this thread's selection stands";

  CloseSlot(1, first);
  EXPECT_TRUE(first.SeesOrderlyClose());
  SelectTCP(2);
  ASSERT_TRUE(second.Send("still here"));
  EXPECT_EQ(u"still here", NextText()) << "closing one slot leaves the other";
  EXPECT_TRUE(second.StaysQuiet());
  CloseSlot(2, second);
  EXPECT_TRUE(second.SeesOrderlyClose());
  SelectTCP(0);
}

TEST(Slots, AThreadsEndClosesEverySlot) {
  Peer listener = Peer::Listening();
  std::vector<Peer> servers;
  std::promise<void> attached;
  std::thread thread([&] {
    for (int slot : {0, 7, kSlotCount - 1}) servers.push_back(AttachSlot(slot, listener));
    attached.set_value();
  });
  attached.get_future().wait();
  ASSERT_EQ(3u, servers.size());
  // Each slot's close waits for its peer to end its side before the next one's.
  for (Peer& server : servers) {
    EXPECT_TRUE(server.SeesOrderlyClose());
    server.Close();
  }
  thread.join();

  // Peers that never end their side hold the thread's end for one bound, not one each.
  std::vector<Peer> silent;
  Stopwatch ending;
  std::thread([&] {
    for (int slot : {1, 2, 3}) silent.push_back(AttachSlot(slot, listener));
    ending = Stopwatch();
  }).join();
  EXPECT_GE(ending.ms(), kCloseLingerLimit);
  EXPECT_LT(ending.ms(), 3 * kCloseLingerLimit) << "one bound each would take three";
  for (Peer& server : silent) EXPECT_TRUE(server.SeesOrderlyClose());
}

// Host code at a pump point that serves another slot: the operation that pumped
// works on its own slot to its end, and the selection is its own again after.
TEST(Slots, APumpPointThatSelectsAnotherSlotLeavesTheSelection) {
  Peer listener = Peer::Listening();
  Peer first = AttachSlot(1, listener);
  Peer second = AttachSlot(2, listener);
  ASSERT_TRUE(second.Send("for the timer"));
  ASSERT_TRUE(first.Send("for the main loop"));
  Delay(50);
  std::u16string seenByTimer;
  int32_t selectedInTimer = -2;
  {
    PumpHook timer([&] {
      selectedInTimer = SelectTCP(2);
      seenByTimer += Take(DataArrivalTCP());
    });
    SelectTCP(1);
    std::u16string main;
    for (int i = 0; i < 100 && main.size() < 17; ++i) main += Take(DataArrivalTCP());
    EXPECT_EQ(u"for the main loop", main);
    EXPECT_GT(timer.passes(), 0);
  }
  EXPECT_EQ(1, selectedInTimer) << "the pump point ran inside slot 1's pass";
  EXPECT_EQ(u"for the timer", seenByTimer);
  EXPECT_EQ(1, SelectTCP(2)) << "the timer's choice ended with it";
  CloseSlot(1, first);
  CloseSlot(2, second);
  SelectTCP(0);
}

TEST(Slots, AListenerHandsOffFiveClientsEachServedInItsOwnSlot) {
  SocketSpy spy;
  const bool utf8 = platform::AnsiCodePage() == kUtf8;
  const uint16_t port = FreePort();
  ASSERT_EQ(kTrue, ListenerTCP(Port(port)));
  EXPECT_EQ(kFalse, HandOffTCP(1)) << "no peer accepted yet";

  std::vector<Peer> clients;
  for (int slot = 1; slot <= 5; ++slot) {
    clients.push_back(Peer::ConnectedTo(port));
    // The first greeting ends in the first byte of a character: it is held back.
    const std::string greeting = "client " + std::to_string(slot);
    ASSERT_TRUE(clients.back().Send(slot == 1 && utf8 ? greeting + "\xE2" : greeting));
    if (slot == 3) {
      // Host code at the accept poll's pump points: its peer is not to be had yet.
      int handedOff = 0, tries = 0;
      PumpHook timer([&] {
        ++tries;
        handedOff += HandOff(7) != kFalse;
      });
      ASSERT_TRUE(PollForPeer());
      EXPECT_GT(tries, 0);
      EXPECT_EQ(0, handedOff);
    } else {
      ASSERT_TRUE(PollForPeer());
    }
    if (slot == 2) {
      EXPECT_EQ(kFalse, HandOffTCP(0)) << "the selected slot";
      EXPECT_EQ(kFalse, HandOffTCP(-1));
      EXPECT_EQ(kFalse, HandOff(kSlotCount));
      EXPECT_EQ(kFalse, HandOffTCP(1)) << "slot 1 is connected";
    }
    ASSERT_EQ(kTrue, HandOff(slot));
    EXPECT_EQ(kListening, StateTCP());
    EXPECT_EQ(u"", Take(GreetingTCP()));
    EXPECT_EQ(kFalse, HandOffTCP(6)) << "the peer is gone from the listener";
  }

  // All five at once, each with its own greeting, data and state.
  for (int slot = 1; slot <= 5; ++slot) {
    ASSERT_TRUE(clients[slot - 1].Send(slot == 1 && utf8 ? "\x82\xAC!" : "!"));
  }
  for (int slot = 1; slot <= 5; ++slot) {
    Select(slot);
    EXPECT_EQ(kConnected, StateTCP());
    EXPECT_EQ(Widen("client " + std::to_string(slot)), Take(GreetingTCP()));
    EXPECT_EQ(slot == 1 && utf8 ? u"\u20AC!" : u"!", NextText());
    EXPECT_EQ(1, SendWide(Widen(std::to_string(slot))));
  }
  for (int slot = 1; slot <= 5; ++slot) {
    EXPECT_EQ(std::to_string(slot), clients[slot - 1].Receive(1));
  }

  // A slot whose peer has gone, and one that was closed, each take the next client.
  clients[1].Close();
  SelectTCP(2);
  for (int i = 0; i < 100 && StateTCP() != kClosedByPeer; ++i) Take(DataArrivalTCP());
  ASSERT_EQ(kClosedByPeer, StateTCP());
  CloseSlot(3, clients[2]);
  EXPECT_TRUE(clients[2].SeesOrderlyClose());
  for (int slot : {2, 3}) {
    Peer next = Peer::ConnectedTo(port);
    ASSERT_TRUE(next.Send("next"));
    SelectTCP(0);
    ASSERT_TRUE(PollForPeer());
    ASSERT_EQ(kTrue, HandOff(slot));
    Select(slot);
    EXPECT_EQ(u"next", Take(GreetingTCP()));
    EXPECT_EQ(4, SendWide(u"more"));
    EXPECT_EQ("more", next.Receive(4));
    CloseSlot(slot, next);
    EXPECT_TRUE(next.SeesOrderlyClose());
  }
  for (int slot : {1, 4, 5}) {
    CloseSlot(slot, clients[slot - 1]);
    EXPECT_TRUE(clients[slot - 1].SeesOrderlyClose());
  }
  SelectTCP(0);
  CloseTCP();
  EXPECT_EQ(spy.calls(Call::kStartup), spy.calls(Call::kCleanup)) << "every slot's start went back";
}

// Clients that all connect, send and close before the host polls once wait in the
// backlog, and each poll accepts the next of them with what it sent. No peer goes
// into a slot that still listens, nor away from under a pass on the listener.
TEST(Slots, ABurstOfClientsIsAcceptedInTurnEachWithItsData) {
  constexpr int kClients = 12;
  constexpr size_t kSent = 1024;
  // Slot 3 listens on, its own peer gone.
  Select(3);
  const uint16_t otherPort = FreePort();
  ASSERT_EQ(kTrue, ListenerTCP(Port(otherPort)));
  Peer gone = Peer::ConnectedTo(otherPort);
  ASSERT_TRUE(PollForPeer());
  gone.Close();
  for (int i = 0; i < 100 && StateTCP() != kClosedByPeer; ++i) Take(DataArrivalTCP());
  ASSERT_EQ(kClosedByPeer, StateTCP());

  SelectTCP(0);
  const uint16_t port = FreePort();
  ASSERT_EQ(kTrue, ListenerTCP(Port(port)));
  std::vector<Peer> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(Peer::ConnectedTo(port));
  for (int i = 0; i < kClients; ++i) {
    ASSERT_TRUE(
        clients[static_cast<size_t>(i)].Send(std::string(kSent, static_cast<char>('a' + i))));
    clients[static_cast<size_t>(i)].Close();
  }

  std::vector<bool> seen(kClients, false);
  for (int accepted = 0; accepted < kClients; ++accepted) {
    SelectTCP(0);
    ASSERT_EQ(kTrue, ConnectRequestTCP()) << "client " << accepted << " waits in the backlog";
    std::string got = TakeBytes(GreetingBytesTCP());
    if (accepted == 0) {
      EXPECT_EQ(kFalse, HandOff(3)) << "slot 3 still listens";
      int handedOff = 0;
      {
        PumpHook timer([&] { handedOff += HandOff(2) != kFalse; });
        got += TakeBytes(DataArrivalBytesTCP());
      }
      EXPECT_EQ(0, handedOff) << "not from under a pass on the listener";
      EXPECT_EQ(0, LastErrorTCP());
    }
    ASSERT_EQ(kTrue, HandOff(1));
    Select(1);
    got += NextBytes(kSent - got.size());
    ASSERT_EQ(kSent, got.size());
    const int client = got[0] - 'a';
    ASSERT_TRUE(client >= 0 && client < kClients && !seen[static_cast<size_t>(client)]);
    EXPECT_EQ(std::string(kSent, got[0]), got);
    seen[static_cast<size_t>(client)] = true;
    CloseTCP();
  }
  for (int slot : {3, 0}) {
    Select(slot);
    CloseTCP();
  }
}

}  // namespace
}  // namespace qws::test

// The process-wide count of socket-layer starts, as hosts with several threads,
// or with starts of their own, share it with the library.
#include <gtest/gtest.h>

#include <thread>

#include "support/fixtures.h"
#include "support/socket_spy.h"

namespace qws::test {
namespace {

const platform::SocketApi& Host() { return platform::NativeSockets(); }

// A thread without a connection closes twice: it takes no start from the thread
// that holds one, and reports that a start is held in the process.
void CloseTwiceOnAnotherThread() {
  SocketSpy spy;
  int32_t first = 1, second = 1;
  std::thread([&] {
    first = CloseTCP();
    second = CloseTCP();
  }).join();
  EXPECT_EQ(0, first);
  EXPECT_EQ(0, second);
  EXPECT_EQ(0, spy.calls(Call::kCleanup)) << "no start was given back";
}

TEST(StartCount, AThreadWithoutAConnectionTakesNoStart) {
  {
    AttachedPair pair;
    ASSERT_TRUE(pair.server.valid());
    CloseTwiceOnAnotherThread();
    ASSERT_EQ(4, SendWide(u"ping"));
    EXPECT_EQ("ping", pair.server.Receive(4));
    ASSERT_TRUE(pair.server.Send("pong"));
    EXPECT_EQ(u"pong", NextText());
  }

  const uint16_t port = FreePort();
  ASSERT_EQ(kTrue, ListenerTCP(Port(port)));
  CloseTwiceOnAnotherThread();
  Peer client = Peer::ConnectedTo(port);
  ASSERT_TRUE(PollForPeer());
  ASSERT_TRUE(client.Send("up"));
  EXPECT_EQ(u"up", NextText());
  EXPECT_EQ(0, CloseTCP());
}

TEST(StartCount, TheHostsOwnStartsAreLeftToTheHost) {
  ASSERT_EQ(0, Host().startup(&ThisThreadRecord().wsaData));  // the host's own
  ASSERT_EQ(kTrue, ListenerTCP(Port(FreePort())));
  EXPECT_EQ(0, CloseTCP());
  EXPECT_EQ(0, CloseTCP()) << "the host's start is held";
  EXPECT_EQ(0, Host().cleanup()) << "and still the host's to give back";
  EXPECT_EQ(-1, CloseTCP()) << "no start anywhere";

  // The host gives back one start too many: the library's. The next start
  // takes a fresh one.
  ASSERT_EQ(kTrue, ListenerTCP(Port(FreePort())));
  ASSERT_EQ(0, Host().cleanup());
  const uint16_t port = FreePort();
  ASSERT_EQ(kTrue, ListenerTCP(Port(port)));
  Peer client = Peer::ConnectedTo(port);
  ASSERT_TRUE(PollForPeer());
  ASSERT_TRUE(client.Send("still"));
  EXPECT_EQ(u"still", NextText());
  client = Peer();  // and its start
  EXPECT_EQ(0, CloseTCP());
  EXPECT_EQ(-1, CloseTCP());
}

}  // namespace
}  // namespace qws::test

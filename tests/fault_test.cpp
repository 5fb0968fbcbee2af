// Failures injected through the socket seam: each gives the documented result,
// and every socket the library opened is closed again.
#include <gtest/gtest.h>

#include "support/fixtures.h"
#include "support/socket_spy.h"

namespace qws::test {
namespace {

// Sockets made by the library are all closed by the end of each check.
void ExpectNoSocketLeft(const SocketSpy& spy, int failedOpens = 0) {
  EXPECT_EQ(spy.calls(Call::kSocket) + spy.calls(Call::kAccept) - failedOpens,
            spy.calls(Call::kCloseSocket));
}

TEST(Faults, SocketFailing) {
  const uint16_t port = FreePort();
  SocketSpy spy;
  spy.failNext(Call::kSocket, 2);
  EXPECT_EQ(kFalse, ListenerTCP(Port(port)));
  EXPECT_EQ(1, spy.calls(Call::kCleanup)) << "the start is given back";
  Stopwatch watch;
  Text host = Text::Packed("127.0.0.1");
  EXPECT_EQ(kFalse, ConnectTCP(host.get(), Port(port)));
  EXPECT_GE(watch.ms(), 300);
  EXPECT_EQ(0, CloseTCP()) << "the failed connect kept its start";
  ExpectNoSocketLeft(spy, 2);
}

TEST(Faults, BindFailing) {
  SocketSpy spy;
  spy.failNext(Call::kBind);
  EXPECT_EQ(kFalse, ListenerTCP(Port(FreePort())));
  EXPECT_EQ(-1, CloseTCP()) << "nothing held";
  ExpectNoSocketLeft(spy);
}

TEST(Faults, ReceiveAndSendFailingWithAReset) {
  AttachedPair pair;
  ASSERT_TRUE(pair.server.valid());
  ASSERT_TRUE(pair.server.Send("waiting"));
  Delay(50);
  SocketSpy spy;
  spy.failNext(Call::kRecv);
  EXPECT_EQ(u"", Take(DataArrivalTCP()));
  EXPECT_EQ(u"waiting", Take(DataArrivalTCP())) << "nothing lost: the data is still there";
  spy.failNext(Call::kSend);
  EXPECT_EQ(-1, SendWide(u"lost"));
  EXPECT_EQ(5, SendWide(u"again"));
}

TEST(Faults, StartupFailing) {
  const uint16_t port = FreePort();
  SocketSpy spy;
  spy.failNext(Call::kStartup, 2);
  EXPECT_EQ(kFalse, ListenerTCP(Port(port))) << "no start, no socket";
  Text host = Text::Packed("127.0.0.1");
  EXPECT_EQ(kFalse, ConnectTCP(host.get(), Port(port)));
  EXPECT_EQ(-1, CloseTCP());
  ExpectNoSocketLeft(spy, spy.calls(Call::kSocket));  // without a start no socket is made
}

TEST(Faults, ResolverFailing) {
  SocketSpy spy;
  spy.failNext(Call::kResolve);
  Text host = Text::Packed("localhost");
  EXPECT_EQ(kFalse, ConnectTCP(host.get(), 80));
  EXPECT_EQ(0, spy.calls(Call::kDelay));
  EXPECT_EQ(0, spy.calls(Call::kSocket));
  EXPECT_EQ(0, CloseTCP());
}

}  // namespace
}  // namespace qws::test

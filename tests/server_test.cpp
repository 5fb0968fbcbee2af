#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "support/fixtures.h"
#include "support/pump_hook.h"
#include "support/socket_spy.h"

namespace qws::test {
namespace {

// Listens on a port nobody uses; ports are picked at run time so that the
// targets can run side by side.
uint16_t ListenOnFreePort() {
  for (int attempt = 0; attempt < 10; ++attempt) {
    const uint16_t port = FreePort();
    if (ListenerTCP(Port(port)) != kFalse) return port;
  }
  return 0;
}

TEST(Server, AcceptsExchangesAndServesTheNextPeer) {
  const uint16_t port = ListenOnFreePort();
  ASSERT_NE(0, port);

  {
    SocketSpy spy;
    for (int i = 0; i < 20; ++i) EXPECT_EQ(kFalse, ConnectRequestTCP());
    EXPECT_EQ(0, spy.calls(Call::kDelay)) << "polls without a client do not pause";
  }

  Peer client = Peer::ConnectedTo(port);
  Delay(50);
  Stopwatch accepting;
  EXPECT_EQ(kTrue, ConnectRequestTCP());
  EXPECT_GE(accepting.ms(), 600);
  EXPECT_LT(accepting.ms(), 3000);

  Stopwatch nothing;
  EXPECT_EQ(u"", Take(DataArrivalTCP()));
  EXPECT_LT(nothing.ms(), 10000) << "the accepted socket does not block";

  EXPECT_EQ(5, SendWide(u"hello"));
  EXPECT_EQ("hello", client.Receive(5));
  ASSERT_TRUE(client.Send("world"));
  EXPECT_EQ(u"world", NextText());

  client.Close();
  EXPECT_EQ(u"Remote Disconnect", NextText());

  Peer next = Peer::ConnectedTo(port);
  ASSERT_TRUE(PollForPeer());
  EXPECT_EQ(4, SendWide(u"next"));
  EXPECT_EQ("next", next.Receive(4));

  EXPECT_EQ(0, CloseTCP());
  EXPECT_TRUE(next.SeesOrderlyClose());
  EXPECT_EQ(kTrue, ListenerTCP(Port(port))) << "the port is free again at once";
  EXPECT_EQ(0, CloseTCP());
}

TEST(Server, GreetingIsConsumedByTheAcceptingPoll) {
  const uint16_t port = ListenOnFreePort();
  ASSERT_NE(0, port);
  Peer client = Peer::ConnectedTo(port);
  ASSERT_TRUE(client.Send("greeting"));
  ASSERT_TRUE(PollForPeer());
  EXPECT_EQ(u"", Take(DataArrivalTCP()));
  EXPECT_EQ(0, CloseTCP());
}

TEST(Server, PortInUseFailsAndLeavesNoSocketBehind) {
  Peer other = Peer::Listening();
  SocketSpy spy;
  EXPECT_EQ(kFalse, ListenerTCP(Port(other.port())));
  EXPECT_EQ(1, spy.calls(Call::kSocket));
  EXPECT_EQ(1, spy.calls(Call::kCloseSocket)) << "the socket of the failed bind is closed";
  EXPECT_EQ(1, spy.calls(Call::kCleanup));

  // The poll must not listen on the closed socket (Linux would bind it anywhere).
  EXPECT_EQ(kFalse, ConnectRequestTCP());
  EXPECT_EQ(0, spy.calls(Call::kListen));
}

TEST(Server, SecondPendingPeerReplacesTheFirst) {
  const uint16_t port = ListenOnFreePort();
  ASSERT_NE(0, port);
  Peer first = Peer::ConnectedTo(port);
  ASSERT_TRUE(PollForPeer());
  Peer second = Peer::ConnectedTo(port);
  ASSERT_TRUE(PollForPeer());
  EXPECT_TRUE(first.SeesOrderlyClose()) << "the replaced peer is not left hanging";
  EXPECT_EQ(6, SendWide(u"second"));
  EXPECT_EQ("second", second.Receive(6));
  EXPECT_EQ(0, CloseTCP());
  EXPECT_TRUE(second.SeesOrderlyClose());
}

TEST(Server, CloseWithoutAPeerTouchesNoHandleZero) {
  const uint16_t port = ListenOnFreePort();
  ASSERT_NE(0, port);
  SocketSpy spy;
  EXPECT_EQ(0, CloseTCP());
  EXPECT_FALSE(spy.sawHandle(0));
  EXPECT_EQ(1, spy.calls(Call::kCloseSocket));
  EXPECT_EQ(kFalse, ConnectRequestTCP()) << "closed: the poll finds nothing";
  EXPECT_EQ(kTrue, ListenerTCP(Port(port)));
  EXPECT_EQ(0, CloseTCP());
}

TEST(Server, PortMinusOneListensOn65535) {
  // The other targets' runs may hold the port for a moment.
  bool listening = false;
  for (int i = 0; i < 50 && !listening; ++i) {
    listening = ListenerTCP(-1) != kFalse;
    if (!listening) Delay(100);
  }
  if (!listening) GTEST_SKIP() << "port 65535 is taken on this machine";
  Peer client = Peer::ConnectedTo(65535);
  EXPECT_TRUE(PollForPeer());
  EXPECT_EQ(0, CloseTCP());
}

TEST(Server, PollBeforeAnyListenerIsFalse) {
  SocketSpy spy;
  Bool16 result = kTrue;
  std::thread fresh([&] { result = ConnectRequestTCP(); });
  fresh.join();
  EXPECT_EQ(kFalse, result);
  EXPECT_EQ(0, spy.total());
}

TEST(Server, NestedCallsDuringAPollNeitherPollNorReceive) {
  const uint16_t port = ListenOnFreePort();
  ASSERT_NE(0, port);
  SocketSpy spy;
  Bool16 nestedPoll = kTrue;
  std::u16string nestedText = u"unset";
  bool nested = false;
  PumpHook hook([&] {
    if (ThisThreadRecord().ready == kFalse && !nested) {
      nested = true;
      nestedPoll = ConnectRequestTCP();
      nestedText = Take(DataArrivalTCP());
    }
  });
  EXPECT_EQ(kFalse, ConnectRequestTCP());
  ASSERT_TRUE(nested) << "the pump ran while the poll held the record";
  EXPECT_EQ(kFalse, nestedPoll);
  EXPECT_EQ(u"", nestedText);
  EXPECT_EQ(1, spy.calls(Call::kListen)) << "only the outer poll listened";
  EXPECT_EQ(0, spy.calls(Call::kRecv));
  EXPECT_EQ(0, CloseTCP());
}

TEST(Server, AcceptThatKeepsFailingEndsTheWait) {
  const uint16_t port = ListenOnFreePort();
  ASSERT_NE(0, port);
  Peer client = Peer::ConnectedTo(port);
  Delay(50);
  SocketSpy spy;
  spy.failNext(Call::kAccept, 1000);
  Stopwatch watch;
  EXPECT_EQ(kFalse, ConnectRequestTCP());
  EXPECT_GE(watch.ms(), 900);
  EXPECT_LT(watch.ms(), 3000);
  EXPECT_GT(spy.calls(Call::kAccept), 10) << "accept is tried again while waiting";

  spy.failNext(Call::kAccept, 0);
  EXPECT_EQ(kTrue, ConnectRequestTCP()) << "the record is free again and the peer still waits";
  EXPECT_EQ(0, CloseTCP());
}

// One thread serves, another connects, a third starts and ends a connection of
// its own meanwhile; 10 KiB cross each way with nothing lost or reordered.
class Exchange {
 public:
  explicit Exchange(uint32_t seed) {
    std::mt19937 random(seed);
    for (size_t i = 0; i < kBytes; ++i) outgoing_ += static_cast<char>('a' + random() % 26);
  }

  // Sends everything in texts of varied length while collecting what arrives.
  std::string Run(size_t expected) {
    std::string received;
    size_t sent = 0;
    std::mt19937 sizes(static_cast<uint32_t>(outgoing_[0]));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((sent < outgoing_.size() || received.size() < expected) &&
           std::chrono::steady_clock::now() < deadline) {
      if (sent < outgoing_.size()) {
        const size_t length = std::min<size_t>(200 + sizes() % 1800, outgoing_.size() - sent);
        const int32_t n = SendWide(Widen(outgoing_.substr(sent, length)));
        if (n > 0) sent += static_cast<size_t>(n);
      }
      for (std::u16string text = Take(DataArrivalTCP()); !text.empty();
           text = Take(DataArrivalTCP())) {
        if (text == u"Remote Disconnect") return received;
        for (char16_t c : text) received += static_cast<char>(c);
      }
    }
    return received;
  }

  const std::string& outgoing() const { return outgoing_; }
  static constexpr size_t kBytes = 10 * 1024;

 private:
  std::string outgoing_;
};

class Rendezvous {
 public:
  void Arrive() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (++arrived_ == 2) changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(30), [&] { return arrived_ >= 2; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int arrived_ = 0;
};

TEST(Server, TwoThreadsOfOneProcessTalkThroughTheLibrary) {
  Exchange fromServer(1);
  Exchange fromClient(2);
  Rendezvous connected;
  Rendezvous finished;
  std::string serverGot;
  std::string clientGot;
  uint16_t port = 0;
  std::mutex portMutex;
  std::condition_variable portReady;

  std::thread server([&] {
    const uint16_t listening = ListenOnFreePort();
    {
      std::lock_guard<std::mutex> lock(portMutex);
      port = listening;
    }
    portReady.notify_all();
    const bool accepted = listening != 0 && PollForPeer(1000);
    connected.Arrive();
    if (accepted) serverGot = fromServer.Run(Exchange::kBytes);
    finished.Arrive();
    CloseTCP();
  });
  std::thread client([&] {
    uint16_t target = 0;
    {
      std::unique_lock<std::mutex> lock(portMutex);
      portReady.wait_for(lock, std::chrono::seconds(30), [&] { return port != 0; });
      target = port;
    }
    Text host = Text::Packed("127.0.0.1");
    const bool made = target != 0 && ConnectTCP(host.get(), Port(target)) != kFalse;
    connected.Arrive();
    if (made) clientGot = fromClient.Run(Exchange::kBytes);
    finished.Arrive();
    CloseTCP();
  });
  // A third thread's own connection start and close must not reset the others.
  std::thread bystander([] {
    Delay(1500);
    Text host = Text::Packed("127.0.0.1");
    ConnectTCP(host.get(), Port(FreePort()));
    CloseTCP();
  });
  server.join();
  client.join();
  bystander.join();
  EXPECT_EQ(fromClient.outgoing(), serverGot);
  EXPECT_EQ(fromServer.outgoing(), clientGot);
}

}  // namespace
}  // namespace qws::test

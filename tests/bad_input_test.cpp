// Bad input and calls in the wrong order: each has its documented result, loses
// nothing and crashes nothing.
#include <gtest/gtest.h>

#include "support/fixtures.h"
#include "support/socket_spy.h"

namespace qws::test {
namespace {

TEST(BadInput, NullStringsCountAsEmpty) {
  const uint16_t closed = FreePort();
  EXPECT_EQ(kFalse, ConnectTCP(nullptr, Port(closed))) << "the empty host connects nowhere";
  EXPECT_EQ(0, SendTCP(nullptr));
  CloseTCP();
}

TEST(BadInput, OddByteCountsAndLargeTexts) {
  Peer listener = Peer::Listening();
  Text host = Text::Packed("127.0.0.1");  // nine bytes: an odd count
  ASSERT_EQ(kTrue, ConnectTCP(host.get(), Port(listener.port())));
  Peer server = listener.Accept();

  Text odd = Text::Packed(std::string("A\0B", 3));  // as wide text: "A" and a stray byte
  EXPECT_EQ(1, SendTCP(odd.get()));
  EXPECT_EQ("A", server.Receive(1));

  // A mebibyte the peer does not read yet: one send takes what it can.
  const std::u16string big(1 << 20, u'x');
  const int32_t sent = SendWide(big);
  EXPECT_GT(sent, 0);
  EXPECT_LE(sent, 1 << 20);
  EXPECT_EQ(static_cast<size_t>(sent), server.Receive(static_cast<size_t>(sent), 10000ms).size());
  EXPECT_EQ(0, CloseTCP());
}

TEST(BadInput, PortEdgeValues) {
  EXPECT_EQ(kTrue, ListenerTCP(0)) << "port 0: a port the system picks";
  EXPECT_EQ(kFalse, ConnectRequestTCP());
  EXPECT_EQ(0, CloseTCP());
  for (const int16_t port : {int16_t{32767}, int16_t{-32768}}) {
    if (ListenerTCP(port) == kFalse) continue;  // taken on this machine
    const uint16_t number = static_cast<uint16_t>(port);
    Peer client = Peer::ConnectedTo(number);
    bool accepted = false;
    for (int i = 0; i < 300 && !accepted; ++i) {
      accepted = ConnectRequestTCP() != kFalse;
      if (!accepted) Delay(10);
    }
    EXPECT_TRUE(accepted) << number;
    EXPECT_EQ(0, CloseTCP());
  }
  Text host = Text::Packed("127.0.0.1");
  EXPECT_EQ(kFalse, ConnectTCP(host.get(), 0));
  CloseTCP();
}

TEST(BadInput, CallsInTheWrongOrder) {
  EXPECT_EQ(-1, SendWide(u"too early"));
  EXPECT_EQ(u"", Take(DataArrivalTCP()));
  EXPECT_EQ(kFalse, ConnectRequestTCP());

  const uint16_t port = FreePort();
  EXPECT_EQ(kTrue, ListenerTCP(Port(port)));
  EXPECT_EQ(kTrue, ListenerTCP(Port(port))) << "listening twice on one thread";
  Peer client = Peer::ConnectedTo(port);
  bool accepted = false;
  for (int i = 0; i < 300 && !accepted; ++i) {
    accepted = ConnectRequestTCP() != kFalse;
    if (!accepted) Delay(10);
  }
  EXPECT_TRUE(accepted);
  EXPECT_EQ(0, CloseTCP());
  EXPECT_EQ(u"", Take(DataArrivalTCP()));
  EXPECT_EQ(-1, SendWide(u"too late"));
  EXPECT_EQ(kFalse, ConnectRequestTCP());
}

TEST(BadInput, PeerThatResetsInTheMiddleOfTheData) {
  AttachedPair pair;
  ASSERT_TRUE(pair.server.valid());
  EXPECT_EQ(5, SendWide(u"hello"));  // left unread by the peer
  ASSERT_TRUE(pair.server.Send(std::string(100, 'd')));
  Delay(100);
  EXPECT_EQ(Widen(std::string(64, 'd')), Take(DataArrivalTCP()));
  pair.server.Close();  // unread data at the peer: a reset
  Delay(100);
  // Whether the rest of the data is still delivered is the system's choice.
  for (int i = 0; i < 5; ++i) {
    const std::u16string text = Take(DataArrivalTCP());
    EXPECT_TRUE(text.empty() || text == Widen(std::string(36, 'd')) || text == u"Remote Disconnect")
        << std::string(text.begin(), text.end());
  }
}

}  // namespace
}  // namespace qws::test

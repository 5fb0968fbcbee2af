#include <gtest/gtest.h>

#include <thread>

#include "connection/operations.h"
#include "support/fixtures.h"
#include "support/socket_spy.h"

// The function exported as DllMain, under its own name.
extern "C" int32_t QWS_CALL ExportedDllMain(int32_t* hinst, int32_t* reason, int32_t* reserved);

namespace qws::test {
namespace {

TEST(Record, EachThreadHasItsOwnZeroFilledRecord) {
  AttachedPair pair;
  ASSERT_TRUE(pair.server.valid());
  ASSERT_TRUE(pair.server.Send("for the first thread"));

  SocketSpy spy;
  std::u16string seenByOther = u"unset";
  int16_t otherReady = 1;
  std::thread other([&] {
    ConnectionRecord& record = ThisThreadRecord();
    otherReady = record.ready;
    EXPECT_EQ(0, ActiveSocket(record).value);
    seenByOther = Take(DataArrivalTCP());
  });
  other.join();
  EXPECT_EQ(kFalse, otherReady);
  EXPECT_EQ(u"", seenByOther);
  EXPECT_EQ(0, spy.total()) << "a fresh record reaches no socket call";

  // The first thread's data is still there for it.
  EXPECT_EQ(u"for the first thread", Take(DataArrivalTCP()));
}

TEST(Record, ClosedAndAbsentHandlesNeverReachTheSocketLayer) {
  SocketHandle open;
  {
    AttachedPair pair;
    open = ThisThreadRecord().mainSocket;
  }  // closed by CloseTCP
  SocketHandle closed = open;
  closed.closed = true;

  SocketSpy spy;
  const platform::SocketAddress address;
  for (SocketHandle handle : {SocketHandle{0, false}, SocketHandle{-1, false}, closed}) {
    char byte = 0;
    EXPECT_EQ(-1, Recv(handle, &byte, 1));
    EXPECT_EQ(-1, Send(handle, "x", 1));
    EXPECT_EQ(-1, Listen(handle, 1));
    EXPECT_EQ(-1, Bind(handle, address));
    EXPECT_EQ(-1, Connect(handle, address));
    EXPECT_FALSE(ProbeReadable(handle, 100));
    EXPECT_FALSE(Accept(handle).open());
    Shutdown(handle);
    Close(handle);
  }
  EXPECT_EQ(0, spy.total());
}

// A failed connect leaves the record holding its closed handle; descriptor
// numbers are reused at once, so the next socket of the process may carry the
// same number. Nothing the library does afterwards may reach it.
TEST(Record, ClosedHandleNeverReachesASocketThatReusedItsNumber) {
  const uint16_t closedPort = FreePort();
  {
    Text host = Text::Packed("127.0.0.1");
    ASSERT_EQ(kFalse, ConnectTCP(host.get(), static_cast<int16_t>(closedPort)));
  }
  const SocketHandle stale = ThisThreadRecord().mainSocket;
  ASSERT_TRUE(stale.closed);

  Peer other = Peer::Listening();  // likely the stale number again
  ASSERT_TRUE(other.valid());
  SocketSpy spy;
  EXPECT_EQ(kFalse, ConnectRequestTCP());
  EXPECT_EQ(u"", Take(DataArrivalTCP()));
  Text text = Text::Wide(u"stray");
  EXPECT_EQ(-1, SendTCP(text.get()));
  CloseTCP();
  EXPECT_FALSE(spy.sawHandle(stale.value));

  Peer client = Peer::ConnectedTo(other.port());
  EXPECT_TRUE(other.Accept().valid()) << "the other socket still listens";
}

TEST(Record, ThreadEndClosesWhatItsRecordHolds) {
  Peer listener = Peer::Listening();
  std::thread client([&] { AttachClient(listener.port()); });
  Peer server = listener.Accept();
  ASSERT_TRUE(server.valid());
  client.join();
  EXPECT_TRUE(server.SeesOrderlyClose());
}

TEST(Primitives, ProbeSeesAPendingConnectionButNotAnIdleSocket) {
  AttachedPair pair;
  ASSERT_TRUE(pair.server.valid());
  EXPECT_FALSE(ProbeReadable(ThisThreadRecord().mainSocket, 200)) << "connected, nothing sent";

  // A listening socket of the library's own with a client waiting in its backlog.
  ConnectionRecord listening;
  StartWinsock(listening);
  OpenSocket(listening);
  ASSERT_EQ(0, Bind(listening.mainSocket, LoopbackAddress(0)));
  ASSERT_EQ(0, Listen(listening.mainSocket, 1));
  const int port = platform::Sockets().localPort(listening.mainSocket.value);
  Peer client = Peer::ConnectedTo(static_cast<uint16_t>(port));
  bool pending = false;
  for (int i = 0; i < 100 && !pending; ++i) pending = ProbeReadable(listening.mainSocket, 10000);
  EXPECT_TRUE(pending);
}

TEST(Primitives, DelayPausesOnlyForZeroOrMore) {
  Stopwatch none;
  Delay(-1);
  Delay(-1000);
  EXPECT_LT(none.ms(), 10000) << "a negative pause read as unsigned lasts for weeks";
  Stopwatch yield;
  Delay(0);
  EXPECT_LT(yield.ms(), 10000);
  Stopwatch pause;
  Delay(60);
  EXPECT_GE(pause.ms(), 60);
  EXPECT_LT(pause.ms(), 10000);
}

TEST(Boundary, DllMainAnswersOnlyProcessAttach) {
  int32_t reasons[] = {0, 1, 2, 3};
  EXPECT_EQ(0, ExportedDllMain(nullptr, &reasons[0], nullptr));
  EXPECT_EQ(-1, ExportedDllMain(nullptr, &reasons[1], nullptr));
  EXPECT_EQ(0, ExportedDllMain(nullptr, &reasons[2], nullptr));
  EXPECT_EQ(0, ExportedDllMain(nullptr, &reasons[3], nullptr));
  EXPECT_EQ(0, ExportedDllMain(nullptr, nullptr, nullptr));
}

TEST(Boundary, NullAndOddHostStringsAreSafe) {
  EXPECT_EQ(0u, platform::StringByteLen(nullptr));
  platform::FreeString(nullptr);
  Text odd = Text::Packed("abc");
  EXPECT_EQ(3u, platform::StringByteLen(odd.get()));
  EXPECT_EQ(0, reinterpret_cast<const char*>(odd.get())[3]);
  EXPECT_EQ(0, reinterpret_cast<const char*>(odd.get())[4]);
}

}  // namespace
}  // namespace qws::test

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

#include "support/fixtures.h"
#include "support/socket_spy.h"

namespace qws::test {
namespace {

// Runs in a child whose `ulimit -n` is low (see the test list): once every
// descriptor is taken, the operations fail with their documented results.
TEST(DescriptorLimit, OperationsFailCleanlyWhenDescriptorsRunOut) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur > 256) GTEST_SKIP() << "meant for a lowered descriptor limit";

  Peer listener = Peer::Listening();
  const uint16_t freePort = FreePort();
  // Slot 1 listens, with a client waiting to be accepted.
  SelectTCP(1);
  const uint16_t serverPort = FreePort();
  ASSERT_EQ(kTrue, ListenerTCP(Port(serverPort)));
  Peer waiting = Peer::ConnectedTo(serverPort);
  SelectTCP(0);
  std::vector<int> files;
  for (int fd = open("/dev/null", O_RDONLY); fd >= 0; fd = open("/dev/null", O_RDONLY)) {
    files.push_back(fd);
  }
  {
    SelectTCP(1);
    SocketSpy spy;
    EXPECT_EQ(kFalse, ConnectRequestTCP());
    EXPECT_EQ(10024, LastErrorTCP()) << "no descriptor left, said at once";
    EXPECT_EQ(0, spy.calls(Call::kDelay)) << "no wait for a descriptor";
    SelectTCP(0);
  }
  Text host = Text::Packed("127.0.0.1");
  EXPECT_EQ(kFalse, ListenerTCP(Port(freePort)));
  EXPECT_EQ(kFalse, ConnectTCP(host.get(), Port(listener.port())));
  EXPECT_EQ(u"", Take(DataArrivalTCP()));
  EXPECT_EQ(-1, SendWide(u"nowhere"));
  CloseTCP();
  for (int fd : files) close(fd);

  EXPECT_EQ(kTrue, ConnectTCP(host.get(), Port(listener.port()))) << "fine again with room";
  EXPECT_TRUE(listener.Accept().valid());
  EXPECT_EQ(0, CloseTCP());
  SelectTCP(1);
  EXPECT_TRUE(PollForPeer()) << "the client waited in the queue";
  CloseTCP();
  SelectTCP(0);
}

}  // namespace
}  // namespace qws::test

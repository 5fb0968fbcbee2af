#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

#include "support/fixtures.h"

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
  std::vector<int> files;
  for (int fd = open("/dev/null", O_RDONLY); fd >= 0; fd = open("/dev/null", O_RDONLY)) {
    files.push_back(fd);
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
}

}  // namespace
}  // namespace qws::test

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Quillmar_ws.h"
#include "support/fixtures.h"
#include "support/scratch_dir.h"

namespace qws::test {
namespace {
namespace fs = std::filesystem;

// A link to a regular file counts as that file does; the create never writes
// through it, and the target keeps its content.
TEST(MarkersOnLinux, SymbolicLinkCountsButIsNeverWrittenThrough) {
  ScratchDir dir;
  WriteFile("precious.txt", "keep me");
  fs::create_symlink("precious.txt", "stopws.dat");
  EXPECT_NE(0, stopwinsock());
  EXPECT_NE(0, createstopwinsockfile());
  EXPECT_EQ("keep me", ReadFile("precious.txt"));
  EXPECT_TRUE(fs::is_symlink("stopws.dat"));
}

// A pipe of the marker's name: the create neither waits for a reader nor counts
// as done.
TEST(MarkersOnLinux, PipeIsNoMarkerAndTheCreateDoesNotWait) {
  ScratchDir dir;
  ASSERT_EQ(0, mkfifo("stopset.dat", 0600));
  Stopwatch watch;
  EXPECT_NE(0, createstopsetfile());
  EXPECT_LT(watch.ms(), 10000) << "a create that waits for a reader waits for ever";
  EXPECT_EQ(0, stopsettings());
}

}  // namespace
}  // namespace qws::test

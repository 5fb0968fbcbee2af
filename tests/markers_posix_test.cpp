#include <gtest/gtest.h>

#include "Quillmar_ws.h"
#include "support/scratch_dir.h"

namespace qws::test {
namespace {
namespace fs = std::filesystem;

// A link planted under the marker's name must not get its target truncated.
TEST(MarkersOnLinux, SymbolicLinkIsNeitherFollowedNorCounted) {
  ScratchDir dir;
  WriteFile("precious.txt", "keep me");
  fs::create_symlink("precious.txt", "stopws.dat");
  EXPECT_EQ(0, stopwinsock());
  EXPECT_NE(0, createstopwinsockfile());
  EXPECT_EQ("keep me", ReadFile("precious.txt"));
  EXPECT_TRUE(fs::is_symlink("stopws.dat"));
}

}  // namespace
}  // namespace qws::test

#include <gtest/gtest.h>
#include <windows.h>

#include "Quillmar_ws.h"
#include "support/scratch_dir.h"

namespace qws::test {
namespace {

TEST(MarkersOnWindows, HiddenOrSystemMarkerDoesNotCount) {
  ScratchDir dir;
  WriteFile("stopws.dat", "");
  WriteFile("stopset.dat", "");
  ASSERT_TRUE(SetFileAttributesA("stopws.dat", FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(SetFileAttributesA("stopset.dat", FILE_ATTRIBUTE_SYSTEM));
  EXPECT_EQ(0, stopwinsock());
  EXPECT_EQ(0, stopsettings());
  SetFileAttributesA("stopws.dat", FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_NE(0, stopwinsock()) << "an archive mark is ordinary";
  SetFileAttributesA("stopws.dat", FILE_ATTRIBUTE_NORMAL);
  SetFileAttributesA("stopset.dat", FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
}  // namespace qws::test

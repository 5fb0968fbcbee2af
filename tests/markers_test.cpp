#include <gtest/gtest.h>

#include <fstream>

#include "Quillmar_ws.h"
#include "support/scratch_dir.h"

namespace qws::test {
namespace {
namespace fs = std::filesystem;

struct Marker {
  const char* file;
  Bool16(QWS_CALL* test)();
  int32_t(QWS_CALL* create)();
  int32_t(QWS_CALL* clear)();
};

const Marker kMarkers[] = {
    {"stopws.dat", stopwinsock, createstopwinsockfile, clearwinsockfile},
    {"stopset.dat", stopsettings, createstopsetfile, clearsetfile},
};

TEST(Markers, CreateTestAndClearEachMarker) {
  ScratchDir dir;
  for (const Marker& marker : kMarkers) {
    SCOPED_TRACE(marker.file);
    EXPECT_EQ(0, marker.test());
    EXPECT_EQ(0, marker.create());
    EXPECT_NE(0, marker.test());
    EXPECT_TRUE(fs::is_regular_file(marker.file));
    EXPECT_EQ(0u, fs::file_size(marker.file));
    EXPECT_EQ(0, marker.clear());
    EXPECT_EQ(0, marker.test());
    EXPECT_FALSE(fs::exists(marker.file));

    EXPECT_NE(0, marker.clear()) << "nothing to clear";
    EXPECT_FALSE(fs::exists(marker.file));
  }
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(Markers, MarkersAreIndependent) {
  ScratchDir dir;
  EXPECT_EQ(0, createstopwinsockfile());
  EXPECT_NE(0, stopwinsock());
  EXPECT_EQ(0, stopsettings());
  EXPECT_EQ(0, createstopsetfile());
  EXPECT_EQ(0, clearwinsockfile());
  EXPECT_NE(0, stopsettings());
  EXPECT_EQ(0, clearsetfile());
}

TEST(Markers, CreateEmptiesAMarkerWithContent) {
  ScratchDir dir;
  WriteFile("stopws.dat", "left over");
  EXPECT_EQ(0, createstopwinsockfile());
  EXPECT_EQ(0u, fs::file_size("stopws.dat"));
  EXPECT_NE(0, stopwinsock());
}

TEST(Markers, ReadOnlyMarkerStillCounts) {
  ScratchDir dir;
  WriteFile("stopset.dat", "");
  fs::permissions("stopset.dat",
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  EXPECT_NE(0, stopsettings());
}

TEST(Markers, DirectoryNamedLikeAMarkerIsNoMarker) {
  ScratchDir dir;
  fs::create_directory("stopws.dat");
  EXPECT_EQ(0, stopwinsock());
  EXPECT_NE(0, createstopwinsockfile());
  EXPECT_EQ(0, stopwinsock());
  EXPECT_NE(0, clearwinsockfile());
  EXPECT_TRUE(fs::is_directory("stopws.dat"));
}

TEST(Markers, TestLooksInTheCurrentDirectoryOfTheMoment) {
  ScratchDir first;
  EXPECT_EQ(0, createstopsetfile());
  {
    ScratchDir second;
    EXPECT_EQ(0, stopsettings());
  }
  EXPECT_NE(0, stopsettings());
}

TEST(Markers, CreateFailsWhereTheDirectoryTakesNoFiles) {
  ScratchDir dir;
  fs::create_directory("locked");
  fs::permissions("locked", fs::perms::owner_read | fs::perms::owner_exec);
  fs::current_path("locked");
  const bool ignored = std::ofstream("probe").good();
  if (ignored) {
    fs::remove("probe");
    GTEST_SKIP() << "this user is not held to directory permissions (root)";
  }
  EXPECT_NE(0, createstopwinsockfile());
  EXPECT_EQ(0, stopwinsock());
}

}  // namespace
}  // namespace qws::test

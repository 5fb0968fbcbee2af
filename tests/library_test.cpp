// The built library as a host sees it: loaded by path, exports found by name (and
// by ordinal on Windows), called with the exact signatures of the public header.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <utility>

#include "Quillmar_ws.h"
#include "support/library.h"

namespace qws::test {
namespace {

const std::pair<const char*, int> kExports[] = {
    {"DllMain", 1},
    {"CloseTCP", 2},
    {"DataArrivalTCP", 3},
    {"ConnectRequestTCP", 4},
    {"ConnectTCP", 5},
    {"stopwinsock", 6},
    {"SendTCP", 7},
    {"ShutdownTCP", 8},
    {"ListenerTCP", 9},
    {"clearwinsockfile", 10},
    {"createstopwinsockfile", 11},
    {"clearsetfile", 12},
    {"createstopsetfile", 13},
    {"stopsettings", 14},
};

using DllMainFn = int32_t(QWS_CALL*)(int32_t*, int32_t*, int32_t*);
using TextFn = HostString(QWS_CALL*)();
using StatusFn = int32_t(QWS_CALL*)();
using PortFn = Bool16(QWS_CALL*)(int16_t);
using ConnectFn = Bool16(QWS_CALL*)(HostString, int16_t);

class LoadedLibrary : public testing::Test {
 protected:
  Library library{QWS_LIBRARY_PATH};
};

TEST_F(LoadedLibrary, EveryExportHasItsNameAndOrdinal) {
  ASSERT_TRUE(library.loaded());
  for (const auto& [name, ordinal] : kExports) {
    void* byName = library.symbol(name);
    EXPECT_NE(nullptr, byName) << name;
    if (HasOrdinals()) {
      EXPECT_EQ(byName, library.ordinal(ordinal)) << name;
    }
  }
  EXPECT_EQ(library.symbol("CloseTCP"), library.symbol("ShutdownTCP"));
}

TEST_F(LoadedLibrary, CallsWithTheHostSignatures) {
  ASSERT_TRUE(library.loaded());
  int32_t attach = 1;
  int32_t detach = 0;
  auto dllMain = library.get<DllMainFn>("DllMain");
  EXPECT_EQ(-1, dllMain(nullptr, &attach, nullptr));
  EXPECT_EQ(0, dllMain(nullptr, &detach, nullptr));

  // A thread that started nothing: empty text, a failed connect of a bad host,
  // and -1 from a close with nothing started.
  std::thread fresh([&] {
    HostString text = library.get<TextFn>("DataArrivalTCP")();
    EXPECT_TRUE(text == nullptr || text[0] == 0);
#ifdef _WIN32
    SysFreeString(text);
    HostString host = SysAllocStringByteLen("no-such-host.invalid", 20);
#else
    library.get<void (*)(HostString)>("HostStringFree")(text);
    HostString host = library.get<HostString (*)(const char*, uint32_t)>("HostStringAllocBytes")(
        "no-such-host.invalid", 20);
#endif
    EXPECT_EQ(0, library.get<ConnectFn>("ConnectTCP")(host, 80));
    EXPECT_EQ(0, library.get<StatusFn>("CloseTCP")());
    EXPECT_EQ(-1, library.get<StatusFn>("ShutdownTCP")());
#ifdef _WIN32
    SysFreeString(host);
#else
    library.get<void (*)(HostString)>("HostStringFree")(host);
#endif
  });
  fresh.join();
}

}  // namespace
}  // namespace qws::test

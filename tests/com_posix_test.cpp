#include <gtest/gtest.h>

#include "Quillmar_ws.h"

namespace qws::test {
namespace {

TEST(ComServer, ThereIsNoComHereAndTheEntryPointsSaySo) {
  constexpr HRESULT kNotImplemented = static_cast<HRESULT>(0x80004001);
  constexpr HRESULT kClassNotAvailable = static_cast<HRESULT>(0x80040111);
  void* out = &out;
  const unsigned char guid[16] = {};
  EXPECT_EQ(kClassNotAvailable, DllGetClassObject(guid, guid, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(kClassNotAvailable, DllGetClassObject(guid, guid, nullptr));
  EXPECT_EQ(kNotImplemented, DllRegisterServer());
  EXPECT_EQ(kNotImplemented, DllUnregisterServer());
  EXPECT_EQ(kNotImplemented, DllCanUnloadNow());
}

}  // namespace
}  // namespace qws::test

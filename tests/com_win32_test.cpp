#include <gtest/gtest.h>
#include <windows.h>

#include <ole2.h>
#include <olectl.h>

#include <string>

#include "Quillmarws_h.h"
#include "support/socket_spy.h"

namespace qws::test {
namespace {

TEST(ComServer, FactoryMakesInstancesAndCountsWhatLives) {
  SocketSpy spy;
  EXPECT_EQ(S_OK, DllCanUnloadNow());
  IClassFactory* factory = nullptr;
  ASSERT_EQ(S_OK, DllGetClassObject(CLSID_ws_class, IID_IClassFactory,
                                    reinterpret_cast<void**>(&factory)));
  IDispatch* object = nullptr;
  ASSERT_EQ(S_OK,
            factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object)));
  EXPECT_EQ(S_FALSE, DllCanUnloadNow()) << "an instance lives";

  UINT count = 0;
  EXPECT_EQ(S_OK, object->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);
  _ws_class* typed = nullptr;
  EXPECT_EQ(S_OK, object->QueryInterface(IID__ws_class, reinterpret_cast<void**>(&typed)));
  if (typed != nullptr) typed->Release();
  object->Release();
  EXPECT_EQ(S_OK, DllCanUnloadNow());

  EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  EXPECT_EQ(S_FALSE, DllCanUnloadNow()) << "a lock holds the server";
  EXPECT_EQ(S_OK, factory->LockServer(FALSE));
  EXPECT_EQ(S_OK, DllCanUnloadNow());

  IUnknown* outer = factory;
  void* aggregated = &outer;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer, IID_IUnknown, &aggregated));
  EXPECT_EQ(nullptr, aggregated);
  factory->Release();
  EXPECT_EQ(0, spy.total()) << "instances never touch a connection";
}

TEST(ComServer, OnlyItsOwnClassIsServed) {
  void* out = &out;
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(IID__ws_class, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, DllGetClassObject(CLSID_ws_class, IID_IClassFactory, nullptr));
}

}  // namespace
}  // namespace qws::test

namespace qws::test {
namespace {

// HKEY_CLASSES_ROOT redirected to a private key, as an installer does for a
// per-user registration.
class RedirectedClassesRoot {
 public:
  RedirectedClassesRoot() {
    const std::wstring name =
        L"Software\\QuillmarWsTest\\" + std::to_wstring(GetCurrentProcessId());
    path_ = name;
    RegCreateKeyExW(HKEY_CURRENT_USER, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                    nullptr);
    overridden_ = RegOverridePredefKey(HKEY_CLASSES_ROOT, key_) == ERROR_SUCCESS;
  }
  ~RedirectedClassesRoot() {
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    RegCloseKey(key_);
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  }
  bool overridden() const { return overridden_; }
  bool has(const wchar_t* subkey) const {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(key_, subkey, 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    RegCloseKey(opened);
    return true;
  }

 private:
  std::wstring path_;
  HKEY key_ = nullptr;
  bool overridden_ = false;
};

// This test program carries no type library, so registration fails after the
// class keys are written; what it wrote must be gone again.
TEST(ComRegistration, FailedRegistrationLeavesNothingBehind) {
  RedirectedClassesRoot root;
  ASSERT_TRUE(root.overridden());
  const HRESULT result = DllRegisterServer();
  EXPECT_TRUE(FAILED(result));
  EXPECT_FALSE(root.has(L"CLSID\\{E8DC674D-C8D6-49FF-8BF0-5003B78BA418}"));
  EXPECT_FALSE(root.has(L"Quillmarws.ws_class"));
  EXPECT_FALSE(root.has(L"TypeLib\\{9130352E-0E93-49C2-B9C8-9FDD5BF9DA3B}"));
  EXPECT_EQ(S_OK, DllUnregisterServer()) << "nothing registered is nothing to fail on";
}

}  // namespace
}  // namespace qws::test

#include <gtest/gtest.h>
#include <windows.h>

#include <ole2.h>

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

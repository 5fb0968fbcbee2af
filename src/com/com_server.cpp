#include "com_server.h"

#include <atomic>
#include <new>

#include "Quillmarws_h.h"

namespace qws::com {
namespace {

std::atomic<long> liveObjects{0};
std::atomic<long> serverLocks{0};

HRESULT LoadClassTypeInfo(ITypeInfo** info) {
  wchar_t path[MAX_PATH];
  HRESULT result = ModulePath(path, MAX_PATH);
  if (FAILED(result)) return result;
  ITypeLib* library = nullptr;
  result = LoadTypeLibEx(path, REGKIND_NONE, &library);
  if (FAILED(result)) return result;
  result = library->GetTypeInfoOfGuid(IID__ws_class, info);
  library->Release();
  return result;
}

// ws_class has no state and no behaviour: IDispatch over its type information,
// and nothing that reaches a connection.
class WsClass final : public _ws_class {
 public:
  WsClass() { ++liveObjects; }
  WsClass(const WsClass&) = delete;
  WsClass& operator=(const WsClass&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID__ws_class) {
      *out = static_cast<_ws_class*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }

  ULONG STDMETHODCALLTYPE Release() override {
    const long left = --references_;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    const HRESULT result = EnsureTypeInfo();
    if (FAILED(result)) return result;
    typeInfo_->AddRef();
    *info = typeInfo_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    const HRESULT result = EnsureTypeInfo();
    if (FAILED(result)) return result;
    return DispGetIDsOfNames(typeInfo_, names, count, ids);
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception,
                                   UINT* argumentError) override {
    const HRESULT loaded = EnsureTypeInfo();
    if (FAILED(loaded)) return loaded;
    return DispInvoke(this, typeInfo_, id, flags, params, result, exception, argumentError);
  }

 private:
  ~WsClass() {
    if (typeInfo_ != nullptr) typeInfo_->Release();
    --liveObjects;
  }

  HRESULT EnsureTypeInfo() { return typeInfo_ != nullptr ? S_OK : LoadClassTypeInfo(&typeInfo_); }

  std::atomic<long> references_{1};
  ITypeInfo* typeInfo_ = nullptr;
};

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

  // The factory is static: its references keep nothing alive.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    WsClass* object = new (std::nothrow) WsClass;
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT result = object->QueryInterface(iid, out);
    object->Release();
    return result;
  }

  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ++serverLocks;
    } else {
      --serverLocks;
    }
    return S_OK;
  }
};

Factory factory;

}  // namespace

IClassFactory* ClassFactory() { return &factory; }

bool InUse() { return liveObjects.load() > 0 || serverLocks.load() > 0; }

HRESULT ModulePath(wchar_t* path, DWORD capacity) {
  HMODULE module = nullptr;
  const auto flags =
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  if (!GetModuleHandleExW(flags, reinterpret_cast<LPCWSTR>(&liveObjects), &module)) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  const DWORD length = GetModuleFileNameW(module, path, capacity);
  if (length == 0) return HRESULT_FROM_WIN32(GetLastError());
  if (length >= capacity) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  return S_OK;
}

}  // namespace qws::com

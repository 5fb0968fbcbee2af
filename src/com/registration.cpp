// Registration writes through HKEY_CLASSES_ROOT only, so that an installer that
// redirects it to the user's hive gets a per-user registration.
#include "registration.h"

#include <string>
#include <vector>

#include "Quillmarws_h.h"
#include "com_server.h"

namespace qws::com {
namespace {

constexpr wchar_t kClassName[] = L"ws_class";
constexpr wchar_t kProgId[] = L"Quillmarws.ws_class";
constexpr wchar_t kThreadingModel[] = L"Apartment";
constexpr wchar_t kVersion[] = L"1.0";
constexpr WORD kMajorVersion = 1;
constexpr WORD kMinorVersion = 0;
constexpr int kGuidText = 39;

std::wstring GuidText(REFGUID guid) {
  wchar_t text[kGuidText];
  StringFromGUID2(guid, text, kGuidText);
  return text;
}

std::wstring ClassKey() { return L"CLSID\\" + GuidText(CLSID_ws_class); }
std::wstring TypeLibKey() { return L"TypeLib\\" + GuidText(LIBID_Quillmarws) + L"\\" + kVersion; }

HRESULT SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY handle = nullptr;
  LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                nullptr, &handle, nullptr);
  if (status == ERROR_SUCCESS) {
    const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            bytes);
    RegCloseKey(handle);
  }
  return HRESULT_FROM_WIN32(status);
}

HRESULT DeleteTree(const std::wstring& key) {
  const LONG status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  return status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}

bool KeyExists(const std::wstring& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(handle);
  return true;
}

struct Value {
  std::wstring key;
  const wchar_t* name;  // null: the key's default value
  std::wstring data;
};

std::vector<Value> ClassValues(const wchar_t* modulePath) {
  const std::wstring key = ClassKey();
  const std::wstring server = key + L"\\InprocServer32";
  const std::wstring progId = kProgId;
  return {
      {key, nullptr, kClassName},
      {server, nullptr, modulePath},
      {server, L"ThreadingModel", kThreadingModel},
      {key + L"\\ProgID", nullptr, kProgId},
      {key + L"\\TypeLib", nullptr, GuidText(LIBID_Quillmarws)},
      {key + L"\\Version", nullptr, kVersion},
      {progId, nullptr, kClassName},
      {progId + L"\\CLSID", nullptr, GuidText(CLSID_ws_class)},
  };
}

HRESULT WriteClassKeys(const wchar_t* modulePath) {
  for (const Value& value : ClassValues(modulePath)) {
    const HRESULT result = SetValue(value.key, value.name, value.data);
    if (FAILED(result)) return result;
  }
  return S_OK;
}

HRESULT WriteTypeLibrary(const wchar_t* modulePath) {
  ITypeLib* library = nullptr;
  HRESULT result = LoadTypeLibEx(modulePath, REGKIND_NONE, &library);
  if (FAILED(result)) return result;
  result = RegisterTypeLib(library, const_cast<wchar_t*>(modulePath), nullptr);
  library->Release();
  return result;
}

HRESULT RemoveTypeLibrary() {
  if (!KeyExists(TypeLibKey())) return S_OK;
  const SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
  return UnRegisterTypeLib(LIBID_Quillmarws, kMajorVersion, kMinorVersion, LOCALE_NEUTRAL, kind);
}

}  // namespace

HRESULT Register() {
  wchar_t path[MAX_PATH];
  HRESULT result = ModulePath(path, MAX_PATH);
  if (SUCCEEDED(result)) result = WriteClassKeys(path);
  if (SUCCEEDED(result)) result = WriteTypeLibrary(path);
  if (FAILED(result)) Unregister();  // nothing half-written stays behind
  return result;
}

// Every step runs; the first failure is the result.
HRESULT Unregister() {
  HRESULT first = S_OK;
  for (const HRESULT result : {RemoveTypeLibrary(), DeleteTree(ClassKey()), DeleteTree(kProgId)}) {
    if (SUCCEEDED(first) && FAILED(result)) first = result;
  }
  return first;
}

}  // namespace qws::com

// The sockets headers come before <windows.h>.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdio>

#include <oleauto.h>

#include "console.h"

namespace qws_cli {
namespace {

constexpr wchar_t kReplacement = 0xFFFD;
constexpr size_t kLongestUtf8 = 4;

// As SendTCP converts: a character without an exact mapping is not approximated.
DWORD NarrowingFlags() { return GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS; }

std::string Narrow(const wchar_t* wide, int units, BOOL* usedDefault) {
  const DWORD flags = NarrowingFlags();
  const int length = WideCharToMultiByte(CP_ACP, flags, wide, units, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, flags, wide, units, bytes.data(), length, nullptr, usedDefault);
  return bytes;
}

// The wide text of `bytes` when they are characters of the code page that convert
// back to themselves; empty otherwise.
std::wstring RoundTrip(const char* bytes, int count) {
  const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, count, nullptr, 0);
  if (units == 0) return {};
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, count, wide.data(), units);
  if (Narrow(wide.data(), units, nullptr) != std::string(bytes, static_cast<size_t>(count))) {
    return {};
  }
  return wide;
}

// How many bytes the character that starts with `lead` takes in the code page.
size_t CharacterLength(unsigned char lead) {
  if (GetACP() != CP_UTF8) return IsDBCSLeadByte(lead) ? 2 : 1;
  if (lead >= 0xF0) return kLongestUtf8;
  if (lead >= 0xE0) return 3;
  return lead >= 0xC0 ? 2 : 1;
}

}  // namespace

std::string CodePageName() { return "code page " + std::to_string(GetACP()); }

bool ExactWideText(const std::string& bytes, HostString& text, size_t& badOffset) {
  if (bytes.empty()) {
    text = nullptr;
    return true;
  }
  const std::wstring wide = RoundTrip(bytes.data(), static_cast<int>(bytes.size()));
  if (!wide.empty()) {
    text = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    return true;
  }
  // Character by character to the first one that does not convert back.
  badOffset = 0;
  while (badOffset < bytes.size()) {
    const size_t length = std::min(CharacterLength(static_cast<unsigned char>(bytes[badOffset])),
                                   bytes.size() - badOffset);
    if (RoundTrip(bytes.data() + badOffset, static_cast<int>(length)).empty()) break;
    badOffset += length;
  }
  return false;
}

HostString PackedHostString(const std::string& bytes) {
  return SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
}

void FreeHostString(HostString text) { SysFreeString(text); }

std::string TakeText(HostString text) {
  bool exact = true;
  return TakeReceivedText(text, exact);
}

std::string TakeReceivedText(HostString text, bool& exact) {
  const int units = static_cast<int>(SysStringLen(text));
  BOOL usedDefault = FALSE;
  const std::string bytes = Narrow(text, units, GetACP() == CP_UTF8 ? nullptr : &usedDefault);
  exact = !usedDefault && std::find(text, text + units, kReplacement) == text + units;
  SysFreeString(text);
  return bytes;
}

std::string TakeBytes(HostString bytes) {
  const UINT length = SysStringByteLen(bytes);
  std::string copy =
      length == 0 ? std::string() : std::string(reinterpret_cast<const char*>(bytes), length);
  SysFreeString(bytes);
  return copy;
}

void UseBinaryStreams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

size_t ReadInput(char* buffer, size_t size) {
  const int got =
      _read(_fileno(stdin), buffer, static_cast<unsigned>(std::min<size_t>(size, INT_MAX)));
  return got > 0 ? static_cast<size_t>(got) : 0;
}

}  // namespace qws_cli

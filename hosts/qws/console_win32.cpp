// The sockets headers come before <windows.h>.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include <oleauto.h>

#include "console.h"

namespace qws_cli {

HostString WideHostString(const std::string& bytes) {
  const int count = static_cast<int>(bytes.size());
  const int units = MultiByteToWideChar(CP_ACP, 0, bytes.data(), count, nullptr, 0);
  BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(units));
  if (text != nullptr) MultiByteToWideChar(CP_ACP, 0, bytes.data(), count, text, units);
  return text;
}

HostString PackedHostString(const std::string& bytes) {
  return SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
}

void FreeHostString(HostString text) { SysFreeString(text); }

std::string TakeText(HostString text) {
  const int units = static_cast<int>(SysStringLen(text));
  const int length = WideCharToMultiByte(CP_ACP, 0, text, units, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, units, bytes.data(), length, nullptr, nullptr);
  SysFreeString(text);
  return bytes;
}

bool Resolves(const std::string& host) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const bool resolved = getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0;
  if (resolved) freeaddrinfo(found);
  WSACleanup();
  return resolved;
}

void UseBinaryOutput() { _setmode(_fileno(stdout), _O_BINARY); }

}  // namespace qws_cli

#include <iconv.h>
#include <netdb.h>

#include <vector>

#include "console.h"

namespace qws_cli {
namespace {

std::string Convert(const char* to, const char* from, const char* bytes, size_t count) {
  iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return {};
  std::vector<char> out(count * 4 + 8);
  char* in = const_cast<char*>(bytes);
  size_t inLeft = count;
  char* outPointer = out.data();
  size_t outLeft = out.size();
  while (inLeft > 0 &&
         iconv(converter, &in, &inLeft, &outPointer, &outLeft) == static_cast<size_t>(-1)) {
    // A byte that is not UTF-8 is skipped rather than stopping the line.
    ++in;
    --inLeft;
  }
  iconv_close(converter);
  return std::string(out.data(), out.size() - outLeft);
}

}  // namespace

HostString WideHostString(const std::string& bytes) {
  const std::string units = Convert("UTF-16LE", "UTF-8", bytes.data(), bytes.size());
  return HostStringAlloc(reinterpret_cast<const char16_t*>(units.data()),
                         static_cast<uint32_t>(units.size() / 2));
}

HostString PackedHostString(const std::string& bytes) {
  return HostStringAllocBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void FreeHostString(HostString text) { HostStringFree(text); }

std::string TakeText(HostString text) {
  const uint32_t length = HostStringByteLen(text);
  std::string bytes =
      length == 0 ? std::string()
                  : Convert("UTF-8", "UTF-16LE", reinterpret_cast<const char*>(text), length);
  HostStringFree(text);
  return bytes;
}

bool Resolves(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  freeaddrinfo(found);
  return true;
}

void UseBinaryOutput() {}

}  // namespace qws_cli

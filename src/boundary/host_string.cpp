#include "host_string.h"

namespace qws {

std::u16string WideArgument(HostString s) {
  if (s == nullptr) return {};
  const auto* units = reinterpret_cast<const char16_t*>(s);
  return std::u16string(units, platform::StringByteLen(s) / sizeof(char16_t));
}

std::string PackedArgument(HostString s) {
  if (s == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(s), platform::StringByteLen(s));
}

HostString ReturnText(const std::u16string& text) {
  return platform::NewString(text.data(), static_cast<uint32_t>(text.size()));
}

HostString ReturnBytes(const char* bytes, size_t count) {
  return platform::NewStringBytes(bytes, static_cast<uint32_t>(count));
}

}  // namespace qws

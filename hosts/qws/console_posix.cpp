#include <iconv.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "console.h"

namespace qws_cli {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Converts all of `bytes`; false, with the offset where conversion stopped, at the
// first byte that does not belong to a character.
bool Convert(const char* to, const char* from, const std::string& bytes, std::string& out,
             size_t& stoppedAt) {
  iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    stoppedAt = 0;
    return false;
  }
  std::vector<char> buffer(bytes.size() * 4 + 8);
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char* outPointer = buffer.data();
  size_t outLeft = buffer.size();
  const bool whole =
      iconv(converter, &in, &inLeft, &outPointer, &outLeft) != static_cast<size_t>(-1);
  iconv_close(converter);
  out.assign(buffer.data(), buffer.size() - outLeft);
  stoppedAt = static_cast<size_t>(in - bytes.data());
  return whole;
}

std::string Units(HostString text) {
  const uint32_t length = HostStringByteLen(text);
  return length == 0 ? std::string() : std::string(reinterpret_cast<const char*>(text), length);
}

}  // namespace

std::string CodePageName() { return "UTF-8"; }

// UTF-8 in, UTF-8 out: well-formed UTF-8 comes back from the library unchanged.
bool ExactWideText(const std::string& bytes, HostString& text, size_t& badOffset) {
  std::string units;
  if (!Convert("UTF-16LE", "UTF-8", bytes, units, badOffset)) return false;
  text = HostStringAlloc(reinterpret_cast<const char16_t*>(units.data()),
                         static_cast<uint32_t>(units.size() / 2));
  return true;
}

HostString PackedHostString(const std::string& bytes) {
  return HostStringAllocBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void FreeHostString(HostString text) { HostStringFree(text); }

std::string TakeText(HostString text) {
  bool exact = true;
  return TakeReceivedText(text, exact);
}

// The library decodes bytes that are not UTF-8 as U+FFFD.
std::string TakeReceivedText(HostString text, bool& exact) {
  const std::string units = Units(text);
  const uint32_t count = HostStringByteLen(text) / 2;
  exact = std::find(text, text + count, kReplacement) == text + count;
  HostStringFree(text);
  std::string bytes;
  size_t stoppedAt = 0;
  Convert("UTF-8", "UTF-16LE", units, bytes, stoppedAt);
  return bytes;
}

std::string TakeBytes(HostString bytes) {
  std::string copy = Units(bytes);
  HostStringFree(bytes);
  return copy;
}

void UseBinaryStreams() {}

size_t ReadInput(char* buffer, size_t size) {
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, buffer, size);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) return 0;
  }
}

}  // namespace qws_cli

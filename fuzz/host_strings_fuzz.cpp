// Host strings and their conversions: any bytes, in either form, survive the
// boundary; UTF-8 decoding and encoding keep their promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "boundary/host_string.h"
#include "platform/platform.h"
#include "platform/utf8.h"

using namespace qws;

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDFFF; }

// Packed bytes come back exactly; wide text drops only a stray odd byte.
void BoundaryForms(const char* bytes, size_t size) {
  HostString packed = platform::NewStringBytes(bytes, static_cast<uint32_t>(size));
  Check(packed != nullptr);
  Check(platform::StringByteLen(packed) == size);
  Check(PackedArgument(packed) == std::string(bytes, size));
  const std::u16string wide = WideArgument(packed);
  Check(wide.size() == size / 2);
  Check(std::memcmp(wide.data(), bytes, wide.size() * 2) == 0);
  platform::FreeString(packed);

  HostString returned = ReturnText(wide);
  Check(WideArgument(returned) == wide);
  platform::FreeString(returned);
  Check(WideArgument(nullptr).empty() && PackedArgument(nullptr).empty());
}

// Valid UTF-8 decodes and encodes back to itself; anything decodes to units
// without unpaired surrogates; a held-back tail is at most 3 bytes.
void Utf8(const char* bytes, size_t size) {
  const std::u16string decoded = platform::utf8::Decode(bytes, size);
  for (size_t i = 0; i < decoded.size(); ++i) {
    if (decoded[i] >= 0xD800 && decoded[i] <= 0xDBFF) {
      Check(i + 1 < decoded.size() && decoded[i + 1] >= 0xDC00 && decoded[i + 1] <= 0xDFFF);
      ++i;
    } else {
      Check(!IsSurrogate(decoded[i]));
    }
  }
  const std::string encoded = platform::utf8::Encode(decoded.data(), decoded.size());
  Check(platform::utf8::Decode(encoded.data(), encoded.size()) == decoded);
  if (decoded.find(u'\uFFFD') == std::u16string::npos) Check(encoded == std::string(bytes, size));
  Check(platform::utf8::IncompleteTail(bytes, size) <= 3);
}

// Arbitrary units, lone surrogates included, encode to UTF-8 that decodes to the
// same units with each lone surrogate replaced.
void Utf16(const char* bytes, size_t size) {
  std::u16string units(size / 2, u'\0');
  std::memcpy(units.data(), bytes, units.size() * 2);
  const std::string encoded = platform::utf8::Encode(units.data(), units.size());
  const std::u16string back = platform::utf8::Decode(encoded.data(), encoded.size());
  std::u16string expected;
  for (size_t i = 0; i < units.size(); ++i) {
    const bool high = units[i] >= 0xD800 && units[i] <= 0xDBFF;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      expected += units[i];
      expected += units[++i];
    } else {
      expected += IsSurrogate(units[i]) ? u'\uFFFD' : units[i];
    }
  }
  Check(back == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  BoundaryForms(bytes, size);
  Utf8(bytes, size);
  Utf16(bytes, size);
  return 0;
}

#include "utf8.h"

namespace qws::platform::utf8 {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Length of the sequence that `lead` starts, or 0 when it cannot start one.
size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// The second byte's range excludes overlong forms, surrogates and values past U+10FFFF.
bool SecondByteFits(unsigned char lead, unsigned char second) {
  switch (lead) {
    case 0xE0:
      return second >= 0xA0 && second <= 0xBF;
    case 0xED:
      return second >= 0x80 && second <= 0x9F;
    case 0xF0:
      return second >= 0x90 && second <= 0xBF;
    case 0xF4:
      return second >= 0x80 && second <= 0x8F;
    default:
      return IsContinuation(second);
  }
}

// How many bytes of a sequence starting at `p` are well formed, up to its length.
size_t WellFormedPrefix(const unsigned char* p, size_t available, size_t length) {
  size_t n = 1;
  if (n < length && n < available && SecondByteFits(p[0], p[1])) {
    ++n;
    while (n < length && n < available && IsContinuation(p[n])) ++n;
  }
  return n;
}

void AppendCodePoint(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
    return;
  }
  cp -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
}

char32_t CodePoint(const unsigned char* p, size_t length) {
  static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t cp = p[0] & kLeadMask[length];
  for (size_t i = 1; i < length; ++i) cp = (cp << 6) | (p[i] & 0x3F);
  return cp;
}

void AppendEncoded(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

std::u16string Decode(const char* bytes, size_t count) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  std::u16string out;
  out.reserve(count);
  size_t i = 0;
  while (i < count) {
    const size_t length = SequenceLength(p[i]);
    if (length == 1) {
      out.push_back(p[i++]);
      continue;
    }
    const size_t formed = length == 0 ? 1 : WellFormedPrefix(p + i, count - i, length);
    if (formed == length) {
      AppendCodePoint(out, CodePoint(p + i, length));
    } else {
      out.push_back(kReplacement);
    }
    i += formed;
  }
  return out;
}

std::string Encode(const char16_t* units, size_t count) {
  std::string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const char16_t u = units[i];
    if (IsHighSurrogate(u) && i + 1 < count && IsLowSurrogate(units[i + 1])) {
      AppendEncoded(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      AppendEncoded(out, kReplacement);
    } else {
      AppendEncoded(out, u);
    }
  }
  return out;
}

size_t IncompleteTail(const char* bytes, size_t count) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  constexpr size_t kLongestUnfinished = 3;
  for (size_t back = 1; back <= kLongestUnfinished && back <= count; ++back) {
    const size_t start = count - back;
    if (IsContinuation(p[start])) continue;
    const size_t length = SequenceLength(p[start]);
    const bool unfinished = length > back && WellFormedPrefix(p + start, back, length) == back;
    return unfinished ? back : 0;
  }
  return 0;
}

}  // namespace qws::platform::utf8

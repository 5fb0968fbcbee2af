// UTF-8, with the rules the Windows converters apply: every byte that does not
// start or continue a well-formed sequence becomes U+FFFD, and an unpaired
// surrogate is written as U+FFFD.
#pragma once

#include <cstddef>
#include <string>

namespace qws::platform::utf8 {

std::u16string Decode(const char* bytes, size_t count);
std::string Encode(const char16_t* units, size_t count);
// How many bytes at the end form the well-formed start of an unfinished sequence.
size_t IncompleteTail(const char* bytes, size_t count);

}  // namespace qws::platform::utf8

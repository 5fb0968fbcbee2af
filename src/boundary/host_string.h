// How text crosses the boundary. Arguments are copied at entry and never written;
// a null HostString is the empty text; returned strings belong to the caller.
#pragma once

#include <string>

#include "platform/platform.h"

namespace qws {

// Wide text, one character per 16-bit unit; a stray odd byte is not a unit.
std::u16string WideArgument(HostString s);
// ANSI bytes packed two to a unit, as many as the length prefix counts.
std::string PackedArgument(HostString s);
HostString ReturnText(const std::u16string& text);
// Bytes packed two to a unit, the byte count in the length prefix.
HostString ReturnBytes(const char* bytes, size_t count);

}  // namespace qws

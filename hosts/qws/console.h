// What differs between the systems qws runs on: text between the terminal (bytes
// of the system's code page) and the library (HostString values), the resolver,
// and the standard streams.
#pragma once

#include <cstddef>
#include <string>

#include "Quillmar_ws.h"

namespace qws_cli {

// The code page that text passes through, for messages: "UTF-8" or "code page 1252".
std::string CodePageName();
// Wide text that SendTCP turns back into exactly `bytes`. False, with the offset of
// the first byte that is not text in the code page, when there is none.
bool ExactWideText(const std::string& bytes, HostString& text, size_t& badOffset);
HostString PackedHostString(const std::string& bytes);  // packed bytes
void FreeHostString(HostString text);
// The text of a returned string in this system's code page; frees the string.
std::string TakeText(HostString text);
// The same for received text; `exact` is false when it holds characters that stand
// for bytes the library could not convert (U+FFFD) or that the code page lacks.
std::string TakeReceivedText(HostString text, bool& exact);
// The bytes of a returned packed string; frees the string.
std::string TakeBytes(HostString bytes);
// Standard input and output carry bytes exactly as they are.
void UseBinaryStreams();
// Up to `size` bytes of standard input as soon as any are there; 0 at its end.
size_t ReadInput(char* buffer, size_t size);

}  // namespace qws_cli

// What differs between the systems qws runs on: text between the terminal (bytes
// of the system's code page) and the library (HostString values), the resolver,
// and the standard streams.
#pragma once

#include <string>

#include "Quillmar_ws.h"

namespace qws_cli {

HostString WideHostString(const std::string& bytes);    // wide text for SendTCP
HostString PackedHostString(const std::string& bytes);  // packed bytes for ConnectTCP
void FreeHostString(HostString text);
// The text of a returned string in this system's code page; frees the string.
std::string TakeText(HostString text);
// Whether the system's resolver finds an IPv4 address for `host`.
bool Resolves(const std::string& host);
// Standard output carries the bytes exactly as they arrived.
void UseBinaryOutput();

}  // namespace qws_cli

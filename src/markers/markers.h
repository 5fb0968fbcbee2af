// Stop markers: empty files in the current directory whose presence is the message.
#pragma once

#include <cstdint>

namespace qws {

constexpr char kSocketMarker[] = "stopws.dat";
constexpr char kSettingsMarker[] = "stopset.dat";

bool MarkerRaised(const char* name);
int32_t RaiseMarker(const char* name);  // 0, or the error number of the failed open
int32_t ClearMarker(const char* name);  // 0, or the error number of the failed delete

}  // namespace qws

#include "markers.h"

#include "platform/platform.h"

namespace qws {

bool MarkerRaised(const char* name) { return platform::OrdinaryFileExists(name); }

int32_t RaiseMarker(const char* name) { return platform::CreateEmptyFile(name); }

int32_t ClearMarker(const char* name) { return platform::RemoveFile(name); }

}  // namespace qws

// Host-name resolution input, as ConnectTCP receives it (packed bytes): a text
// with a NUL never reaches the resolver; a dotted quad never reaches it either;
// anything else reaches it exactly as given. The resolver is a fake: nothing
// leaves the machine.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "boundary/host_string.h"
#include "connection/connection_record.h"

using namespace qws;

namespace {

int lookups = 0;
std::string lastLookup;
constexpr uint32_t kFakeAddress = 0x0A000001;

uint32_t FakeLookup(const char* name) {
  ++lookups;
  lastLookup = name;
  return kFakeAddress;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const platform::SocketApi fake = [] {
    platform::SocketApi api = platform::NativeSockets();
    api.lookupHost = FakeLookup;
    return api;
  }();
  platform::UseSockets(&fake);
  lookups = 0;

  HostString packed =
      platform::NewStringBytes(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size));
  const std::string host = PackedArgument(packed);
  platform::FreeString(packed);
  const uint32_t ip = ResolveHost(host);

  if (host.find('\0') != std::string::npos) {
    Check(ip == platform::kNoAddress && lookups == 0);
  } else if (inet_addr(host.c_str()) != platform::kNoAddress) {
    Check(ip == inet_addr(host.c_str()) && lookups == 0);
  } else {
    Check(ip == kFakeAddress && lookups == 1 && lastLookup == host);
  }
  platform::UseSockets(nullptr);
  return 0;
}

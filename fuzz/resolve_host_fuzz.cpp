// Host text as ConnectTCP receives it (packed bytes), read as an address or a name:
// a text with a NUL, or one that is malformed, never reaches the resolver; an IPv4
// or IPv6 address never reaches it either and reads as the system reads it; any
// other text reaches it exactly as given. The resolver is a fake: nothing leaves the
// machine.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "boundary/host_string.h"
#include "connection/operations.h"

using namespace qws;

namespace {

int lookups = 0;
std::string lastLookup;
constexpr uint32_t kFakeAddress = 0x0A000001;
constexpr int16_t kPort = 7000;

int FakeResolve(const char* name, platform::SocketAddress* addresses, int capacity) {
  ++lookups;
  lastLookup = name;
  if (capacity < 1) return -1;
  addresses[0] = {};
  addresses[0].family = platform::kAddressFamilyInet;
  addresses[0].address = kFakeAddress;
  return 1;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

// What the system reads as an IPv6 address in the text, brackets and scope apart.
bool SystemReadsInet6(const std::string& host, in6_addr& bytes) {
  std::string literal = host;
  if (!literal.empty() && literal.front() == '[' && literal.back() == ']') {
    literal = literal.substr(1, literal.size() - 2);
  }
  literal = literal.substr(0, literal.find('%'));
  return inet_pton(AF_INET6, literal.c_str(), &bytes) == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const platform::SocketApi fake = [] {
    platform::SocketApi api = platform::NativeSockets();
    api.resolve = FakeResolve;
    return api;
  }();
  platform::UseSockets(&fake);
  lookups = 0;

  HostString packed =
      platform::NewStringBytes(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size));
  const std::string host = PackedArgument(packed);
  platform::FreeString(packed);
  int32_t error = 0;
  const auto addresses = HostAddresses(host, kPort, error);
  const HostText read = ReadHostText(host);
  in6_addr six{};

  if (host.find('\0') != std::string::npos || host.empty()) {
    Check(addresses.empty() && lookups == 0 && error == kHostNotFound);
  } else if (host.size() > kMaxHostLength) {
    Check(addresses.empty() && lookups == 0 && error == kInvalidArgument);
  } else if (inet_addr(host.c_str()) != INADDR_NONE) {
    Check(addresses.size() == 1 && lookups == 0 && addresses[0].address == inet_addr(host.c_str()));
  } else if (read.kind == HostText::kMalformed) {
    Check(addresses.empty() && lookups == 0 && error == kInvalidArgument);
  } else if (read.kind == HostText::kInet6 || read.kind == HostText::kInet) {
    Check(SystemReadsInet6(host, six) && addresses.size() == 1 && lookups == 0);
    if (read.kind == HostText::kInet6) {
      Check(std::memcmp(addresses[0].address6, &six, sizeof six) == 0);
    }
  } else {
    Check(read.kind == HostText::kName && lookups == 1 && lastLookup == host &&
          addresses.size() == 1 && addresses[0].address == kFakeAddress);
  }
  for (const auto& address : addresses) Check(address.port == htons(static_cast<uint16_t>(kPort)));
  platform::UseSockets(nullptr);
  return 0;
}

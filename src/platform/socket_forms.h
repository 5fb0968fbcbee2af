// Socket addresses in the system's forms (sockaddr_in, sockaddr_in6, addrinfo) and
// the layer's own, for sockets_posix.cpp and sockets_win32.cpp: both systems name
// them alike. Each file includes its system's socket headers before this one.
#pragma once

#include <cstring>

#include "platform.h"

namespace qws::platform {

// The system's form of an address, in `storage`, and its length.
inline int ToSockaddr(const SocketAddress* address, sockaddr_storage& storage) {
  storage = {};
  if (address->family == kAddressFamilyInet6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = address->port;
    std::memcpy(&in6.sin6_addr, address->address6, sizeof address->address6);
    in6.sin6_scope_id = address->scope;
    return sizeof in6;
  }
  auto& in = reinterpret_cast<sockaddr_in&>(storage);
  in.sin_family = AF_INET;
  in.sin_port = address->port;
  in.sin_addr.s_addr = address->address;
  return sizeof in;
}

// Family 0 for an address of any other family.
inline SocketAddress FromSockaddr(const sockaddr* native) {
  SocketAddress address;
  if (native->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(native);
    address.family = kAddressFamilyInet6;
    address.port = in6->sin6_port;
    std::memcpy(address.address6, &in6->sin6_addr, sizeof address.address6);
    address.scope = in6->sin6_scope_id;
  } else if (native->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(native);
    address.family = kAddressFamilyInet;
    address.port = in->sin_port;
    address.address = in->sin_addr.s_addr;
  }
  return address;
}

// What the resolver is asked for: stream sockets of both families, and no
// AI_ADDRCONFIG, which on a machine with loopback interfaces alone would drop the
// loopback names' addresses.
inline addrinfo ResolverHints() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  return hints;
}

// The addresses of a resolver's answer, in its order, `capacity` at most; how many.
inline int TakeAddresses(const addrinfo* found, SocketAddress* addresses, int capacity) {
  int count = 0;
  for (const addrinfo* entry = found; entry != nullptr && count < capacity;
       entry = entry->ai_next) {
    if (entry->ai_addr == nullptr) continue;
    const SocketAddress address = FromSockaddr(entry->ai_addr);
    if (address.family != 0) addresses[count++] = address;
  }
  return count;
}

}  // namespace qws::platform

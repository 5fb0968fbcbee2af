#include <algorithm>
#include <cstring>

#include "operations.h"

namespace qws {
namespace {

using platform::SocketAddress;

const platform::SocketApi& Api() { return platform::Sockets(); }

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
constexpr int kAddressGroups = 8;  // 16-bit groups of an IPv6 address

SocketAddress Inet(uint32_t address, int16_t port) {
  SocketAddress result;
  result.family = platform::kAddressFamilyInet;
  result.port = NetworkPort(port);
  result.address = address;
  return result;
}

bool IsMapped(const SocketAddress& address) {
  return address.family == platform::kAddressFamilyInet6 &&
         std::memcmp(address.address6, kMappedPrefix, sizeof kMappedPrefix) == 0;
}

// An IPv4-mapped IPv6 address is the IPv4 address it maps.
SocketAddress Unmapped(const SocketAddress& address) {
  if (!IsMapped(address)) return address;
  SocketAddress inet;
  inet.family = platform::kAddressFamilyInet;
  inet.port = address.port;
  std::memcpy(&inet.address, address.address6 + sizeof kMappedPrefix, sizeof inet.address);
  return inet;
}

bool AllDigits(const std::string& text) {
  return !text.empty() && text.size() <= 9 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The families interleaved, the resolver's first family first (RFC 8305); within a
// family the resolver's order stands.
std::vector<SocketAddress> Interleaved(const std::vector<SocketAddress>& found) {
  std::vector<SocketAddress> first, second;
  for (const SocketAddress& address : found) {
    (address.family == found.front().family ? first : second).push_back(address);
  }
  std::vector<SocketAddress> ordered;
  for (size_t i = 0; i < std::max(first.size(), second.size()); ++i) {
    if (i < first.size()) ordered.push_back(first[i]);
    if (i < second.size()) ordered.push_back(second[i]);
  }
  return ordered;
}

}  // namespace

uint16_t NetworkPort(int16_t port) {
  const auto bits = static_cast<uint16_t>(port);
  return static_cast<uint16_t>(((bits & 0xFFu) << 8) | (bits >> 8));
}

HostText ReadHostText(const std::string& text) {
  HostText read;
  if (text.find('\0') != std::string::npos) return read;  // never reaches the resolver
  if (text.size() > kMaxHostLength) {
    read.kind = HostText::kMalformed;
    return read;
  }
  // The IPv4 rules first, with their quirks (127.1, 0x7f.1): an address as always.
  const uint32_t inet = Api().inetAddr(text.c_str());
  if (inet != platform::kNoAddress) {
    read.kind = HostText::kInet;
    read.address = Inet(inet, 0);
    return read;
  }
  // An IPv6 literal, bracketed or not, with a numeric scope after '%'.
  const bool bracketed = !text.empty() && text.front() == '[';
  if (bracketed && text.back() != ']') {
    read.kind = HostText::kMalformed;
    return read;
  }
  std::string literal = bracketed ? text.substr(1, text.size() - 2) : text;
  std::string scope;
  const size_t percent = literal.find('%');
  if (percent != std::string::npos) {
    scope = literal.substr(percent + 1);
    literal.erase(percent);
  }
  SocketAddress six;
  six.family = platform::kAddressFamilyInet6;
  if (Api().inetPton6(literal.c_str(), six.address6) == 1) {
    if (percent != std::string::npos && (!AllDigits(scope) || IsMapped(six))) {
      read.kind = HostText::kMalformed;
      return read;
    }
    six.scope = scope.empty() ? 0 : static_cast<uint32_t>(std::stoul(scope));
    read.address = Unmapped(six);
    read.kind =
        read.address.family == platform::kAddressFamilyInet ? HostText::kInet : HostText::kInet6;
    read.literal = literal;
    return read;
  }
  // Brackets hold an IPv6 address only, and a scope belongs to one.
  if (bracketed || percent != std::string::npos) {
    read.kind = HostText::kMalformed;
    return read;
  }
  read.kind = text.empty() ? HostText::kNone : HostText::kName;
  return read;
}

std::vector<SocketAddress> HostAddresses(const std::string& text, int16_t port, int32_t& error) {
  const HostText read = ReadHostText(text);
  std::vector<SocketAddress> found;
  if (read.kind == HostText::kInet || read.kind == HostText::kInet6) {
    found.push_back(read.address);
  } else if (read.kind == HostText::kName) {
    SocketAddress resolved[kMaxAddresses];
    const int count = Api().resolve(text.c_str(), resolved, kMaxAddresses);
    for (int i = 0; i < count; ++i) found.push_back(Unmapped(resolved[i]));
    if (count <= 0) error = LayerError() != 0 ? LayerError() : kHostNotFound;
  } else {
    error = read.kind == HostText::kMalformed ? kInvalidArgument : kHostNotFound;
  }
  for (SocketAddress& address : found) address.port = NetworkPort(port);
  return found.empty() ? found : Interleaved(found);
}

SocketAddress EndAddress(const SocketHandle& socket, bool peer) {
  SocketAddress address;
  if (!socket.open()) return address;
  const int got =
      peer ? Api().peerAddress(socket.value, &address) : Api().localAddress(socket.value, &address);
  return got == 0 ? Unmapped(address) : SocketAddress{};
}

// RFC 5952's form: lower-case groups without leading zeros, the longest run of two
// or more zero groups (the first of equals) as "::".
std::u16string AddressText(const SocketAddress& given) {
  const SocketAddress address = Unmapped(given);
  const auto port = static_cast<uint16_t>(NetworkPort(static_cast<int16_t>(address.port)));
  std::string text;
  if (address.family == platform::kAddressFamilyInet) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&address.address);
    for (int i = 0; i < 4; ++i) text += (i ? "." : "") + std::to_string(bytes[i]);
  } else if (address.family == platform::kAddressFamilyInet6) {
    uint16_t groups[kAddressGroups];
    for (int i = 0; i < kAddressGroups; ++i) {
      groups[i] =
          static_cast<uint16_t>((address.address6[2 * i] << 8) | address.address6[2 * i + 1]);
    }
    int bestStart = -1, bestLength = 1;
    for (int i = 0; i < kAddressGroups;) {
      int j = i;
      while (j < kAddressGroups && groups[j] == 0) ++j;
      if (j - i > bestLength) bestStart = i, bestLength = j - i;
      i = j == i ? i + 1 : j;
    }
    text = "[";
    for (int i = 0; i < kAddressGroups; ++i) {
      if (i == bestStart) {
        text += "::";
        i += bestLength - 1;
        continue;
      }
      if (text.back() != ':' && text.back() != '[') text += ':';
      char group[5];
      std::snprintf(group, sizeof group, "%x", groups[i]);
      text += group;
    }
    if (address.scope != 0) text += "%" + std::to_string(address.scope);
    text += "]";
  } else {
    return u"";
  }
  text += ":" + std::to_string(port);
  return std::u16string(text.begin(), text.end());
}

}  // namespace qws

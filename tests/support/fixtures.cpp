#include "fixtures.h"

#include <algorithm>

#include "connection/operations.h"

namespace qws::test {

Text Text::Wide(const std::u16string& text) {
  return Text(platform::NewString(text.data(), static_cast<uint32_t>(text.size())));
}

Text Text::Packed(const std::string& bytes) {
  return Text(platform::NewStringBytes(bytes.data(), static_cast<uint32_t>(bytes.size())));
}

Text::~Text() { platform::FreeString(s_); }

std::u16string Take(HostString s) {
  std::u16string text;
  if (s != nullptr) {
    text.assign(reinterpret_cast<const char16_t*>(s), platform::StringByteLen(s) / 2);
  }
  platform::FreeString(s);
  return text;
}

std::u16string Widen(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

int32_t SendWide(const std::u16string& text) {
  Text wide = Text::Wide(text);
  return SendTCP(wide.get());
}

std::u16string NextText() {
  for (int i = 0; i < 300; ++i) {
    std::u16string text = Take(DataArrivalTCP());
    if (!text.empty()) return text;
    Delay(10);
  }
  return {};
}

bool PollForPeer(int limit) {
  for (int i = 0; i < limit; ++i) {
    if (ConnectRequestTCP() != kFalse) return true;
    Delay(10);
  }
  return false;
}

std::string TakeBytes(HostString s) {
  std::string bytes;
  if (s != nullptr) bytes.assign(reinterpret_cast<const char*>(s), platform::StringByteLen(s));
  platform::FreeString(s);
  return bytes;
}

std::string NextBytes(size_t count, int withinMs) {
  constexpr int kStep = 10;  // ms between passes that found too little
  std::string bytes;
  for (int waited = 0; waited < withinMs && bytes.size() < count; waited += kStep) {
    bytes += TakeBytes(DataArrivalBytesTCP());
    if (bytes.size() < count) Delay(kStep);
  }
  return bytes;
}

size_t SendEveryByte(const std::string& bytes, int withinMs) {
  constexpr size_t kBlock = 256 * 1024;
  constexpr int kStep = 5;  // ms after a send that took less than it was given
  constexpr int32_t kWouldBlock = 10035;
  size_t sent = 0;
  for (int waited = 0; sent < bytes.size() && waited < withinMs;) {
    const size_t block = std::min(kBlock, bytes.size() - sent);
    Text packed = Text::Packed(bytes.substr(sent, block));
    const int32_t n = SendBytesTCP(packed.get());
    if (n < 0 && LastErrorTCP() != kWouldBlock) break;
    if (n > 0) sent += static_cast<size_t>(n);
    if (n < static_cast<int32_t>(block)) {
      Delay(kStep);
      waited += kStep;
    }
  }
  return sent;
}

std::string Pattern(size_t count) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

void AttachClient(uint16_t port) {
  ConnectionRecord& record = ThisThreadRecord();
  StartWinsock(record);
  OpenSocket(record);
  record.peer = LoopbackAddress(port);
  Connect(record.mainSocket, record.peer);
  record.clientMode = kClientRole;
}

AttachedPair::AttachedPair() {
  AttachClient(listener.port());
  server = listener.Accept();
  if (server.valid()) ThisThreadRecord().state = ConnectionState::kConnected;
}

AttachedPair::~AttachedPair() { CloseConnection(ThisThreadRecord()); }

}  // namespace qws::test

// Helpers shared by the test files.
#pragma once

#include <chrono>
#include <string>

#include "Quillmar_ws.h"
#include "connection/connection_record.h"
#include "peer.h"

namespace qws::test {

// A HostString the test owns.
class Text {
 public:
  static Text Wide(const std::u16string& text);
  static Text Packed(const std::string& bytes);
  Text(Text&& other) noexcept : s_(other.s_) { other.s_ = nullptr; }
  ~Text();
  HostString get() const { return s_; }

 private:
  explicit Text(HostString s) : s_(s) {}
  HostString s_;
};

// Takes a returned HostString, frees it, and gives its wide text.
std::u16string Take(HostString s);
std::u16string Widen(const std::string& ascii);

inline int16_t Port(uint16_t port) { return static_cast<int16_t>(port); }
int32_t SendWide(const std::u16string& text);
// Polls until a pass returns text, for data that is still on its way.
std::u16string NextText();
// Polls as a host does until a peer is accepted or `limit` polls have passed.
bool PollForPeer(int limit = 300);
// Takes a returned HostString of packed bytes, frees it, and gives its bytes.
std::string TakeBytes(HostString s);
// Byte passes until `count` bytes have come or `withinMs` have passed.
std::string NextBytes(size_t count, int withinMs = 3000);

// Sends all of `bytes` with the byte send, block by block, waiting while it takes
// less; returns how many it took.
size_t SendEveryByte(const std::string& bytes, int withinMs = 20000);
// Bytes that depend on their position alone: no shifted or repeated block matches.
std::string Pattern(size_t count);

// Makes this thread's record a client connection to 127.0.0.1:`port` directly,
// without ConnectTCP's pauses.
void AttachClient(uint16_t port);

class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  long long ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start_)
        .count();
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

// A client connection made directly on this thread's record, and its server end.
struct AttachedPair {
  Peer listener = Peer::Listening();
  Peer server;
  AttachedPair();
  ~AttachedPair();
};

}  // namespace qws::test

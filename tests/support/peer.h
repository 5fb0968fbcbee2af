// The other end of a connection, in the test process, on the platform's own
// socket calls (never through the table the library uses, so it is never
// counted). Each peer holds a start of the socket layer for as long as it lives.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace qws::test {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

class Peer {
 public:
  static Peer Listening(uint16_t port = 0);  // on 127.0.0.1; 0: a port the system picks
  static Peer ConnectedTo(uint16_t port);    // to 127.0.0.1

  Peer() = default;
  Peer(Peer&& other) noexcept;
  Peer& operator=(Peer&& other) noexcept;
  ~Peer();

  bool valid() const { return socket_ > 0; }
  uint16_t port() const;
  Peer Accept(Millis within = 3000ms);
  // Sends every byte, waiting while the socket's buffer is full.
  bool Send(const std::string& bytes, Millis within = 3000ms);
  // One byte of urgent (out-of-band) data.
  bool SendUrgent(char byte);
  // Collects bytes until `count` have arrived, the peer closes, or time is up.
  std::string Receive(size_t count, Millis within = 3000ms);
  // True when the next thing to arrive is an orderly close.
  bool SeesOrderlyClose(Millis within = 3000ms);
  // True when nothing arrives and no close is seen for `quiet`.
  bool StaysQuiet(Millis quiet = 200ms);
  void Close();
  // Ends this side's sending: the other side sees the end, and may still send.
  void EndSending();
  void Reset();

 private:
  explicit Peer(platform::Socket socket);
  platform::Socket socket_ = 0;
  bool started_ = false;
};

// A loopback port on which nothing listens.
uint16_t FreePort();

// Makes a socket's send buffer small, so that a peer that reads slowly holds its
// sends back at once, however slowly this side produces what it sends.
void LimitSendBuffer(platform::Socket socket, int bytes);

uint32_t Loopback();
// 127.0.0.1 at `port`.
platform::SocketAddress LoopbackAddress(uint16_t port);

}  // namespace qws::test

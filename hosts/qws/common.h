// What the parts of qws share: exit statuses, messages, the stop marker and
// Ctrl-C, and the receiver that writes what a peer sends to standard output.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "Quillmar_ws.h"
#include "options.h"

namespace qws_cli {

using Clock = std::chrono::steady_clock;

constexpr char kRemoteDisconnect[] = "Remote Disconnect";
// Between rounds qws waits in the library for its connections this long at most, so
// that input, which the library cannot wait for, is still taken promptly.
constexpr int32_t kIdleWait = 10;  // ms
constexpr auto kIdlePause = std::chrono::milliseconds(kIdleWait);
constexpr auto kMarkerInterval = std::chrono::milliseconds(100);
// On a stop, what has arrived is written out for this long at most: a peer that
// keeps sending does not hold the stop for ever.
constexpr auto kStopDrainLimit = std::chrono::seconds(10);
constexpr size_t kReadSize = 65536;  // one read of standard input

// Windows Sockets error numbers, which the library reports on every platform.
constexpr int32_t kAccessDenied = 10013;
constexpr int32_t kWouldBlock = 10035;
constexpr int32_t kNoDescriptor = 10024;
constexpr int32_t kNoBufferSpace = 10055;  // how Windows says that it has no handle left
constexpr int32_t kAddressInUse = 10048;
constexpr int32_t kRefused = 10061;
constexpr int32_t kHostNotFound = 11001;
// StateTCP values.
constexpr int32_t kClosedByPeer = 4;
constexpr int32_t kConnectionFailed = 5;

// A stop by the marker or by Ctrl-C is not an end in order: what the peer had not
// sent yet, and input not taken yet, never went. 130 is what shells report for Ctrl-C.
enum ExitStatus {
  kRunning = -1,
  kOrderly = 0,
  kFailed = 1,
  kBadArguments = 2,
  kStopped = 3,
  kInterrupted = 130
};

extern std::atomic<bool> interrupted;
extern "C" void OnInterrupt(int);

// One line on standard error.
void Say(const std::string& message);
// ": what went wrong (error N)", or nothing when the library has no error to tell.
std::string Reason(int32_t code);
// Says where input stopped being text, and ends qws as failed.
int NotText(uint64_t offset);
// Listens on the options' port (on both families), saying the port or why it cannot.
bool Listen(const Options& options);
// Who is on the other end of the selected slot: "[::1]:50123", "127.0.0.1:50123".
std::string PeerAddress();

// The stop marker, looked at every kMarkerInterval; cleared once seen, as
// cooperating programs expect.
class StopMarker {
 public:
  bool Raised();

 private:
  Clock::time_point next_{};
};

// Ctrl-C and the stop marker, and the status that a stop ends qws with.
class Stops {
 public:
  // What stopped qws, or null while nothing has.
  const char* Reason();
  int status() const { return status_; }

 private:
  StopMarker marker_;
  int status_ = kOrderly;
};

enum class Arrival { kNothing, kData, kClosed, kFailed };

// The peer's data, written to standard output as it arrives.
class Receiver {
 public:
  explicit Receiver(bool binary) : binary_(binary) {}

  // The greeting changed only where its text differs from the bytes that the peer
  // sent: a U+FFFD of the peer's own is text like any other.
  void WriteGreeting();
  // One receive pass on the selected slot.
  Arrival Poll();

 private:
  // Data is never changed silently: the first change in a session is reported.
  void Write(const std::string& bytes, bool exact, const char* what);

  bool binary_;
  bool warned_ = false;
  uint64_t written_ = 0;
};

}  // namespace qws_cli

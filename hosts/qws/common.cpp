#include "common.h"

#include <cstdio>

#include "console.h"

namespace qws_cli {

std::atomic<bool> interrupted{false};

extern "C" void OnInterrupt(int) { interrupted = true; }

void Say(const std::string& message) { std::fprintf(stderr, "qws: %s\n", message.c_str()); }

// Socket errors are small numbers; secure connections report HRESULTs, in hex.
std::string Reason(int32_t code) {
  if (code == 0) return "";
  char number[16];
  std::snprintf(number, sizeof number, code < 0 ? "0x%08X" : "%u", static_cast<unsigned>(code));
  return ": " + TakeText(ErrorTextTCP(code)) + " (error " + number + ")";
}

int NotText(uint64_t offset) {
  Say("input byte " + std::to_string(offset) + " is not text in " + CodePageName() +
      "; nothing from there on was sent (--binary sends bytes unchanged)");
  return kFailed;
}

std::string PeerAddress() { return TakeText(PeerAddressTCP()); }

// The port that the listener got: the one asked for, or the system's choice for 0.
bool Listen(const Options& options) {
  const std::string port = std::to_string(options.port);
  if (ListenerTCP(static_cast<int16_t>(options.port))) {
    const std::string local = TakeText(LocalAddressTCP());
    Say("listening on port " + local.substr(local.rfind(':') + 1));
    return true;
  }
  const int32_t error = LastErrorTCP();
  if (error == kAddressInUse)
    Say("port " + port + " is in use");
  else if (error == kAccessDenied)
    Say("no permission to listen on port " + port);
  else
    Say("cannot listen on port " + port + Reason(error));
  return false;
}

bool StopMarker::Raised() {
  const auto now = Clock::now();
  if (now < next_) return false;
  next_ = now + kMarkerInterval;
  if (!stopwinsock()) return false;
  clearwinsockfile();
  return true;
}

const char* Stops::Reason() {
  if (interrupted) {
    status_ = kInterrupted;
    return "interrupted by Ctrl-C";
  }
  if (marker_.Raised()) {
    status_ = kStopped;
    return "stopped by the stop marker stopws.dat";
  }
  return nullptr;
}

void Receiver::WriteGreeting() {
  const std::string greeting = TakeText(GreetingTCP());
  Write(greeting, greeting == TakeBytes(GreetingBytesTCP()), "the greeting");
}

Arrival Receiver::Poll() {
  if (binary_) {
    const std::string bytes = TakeBytes(DataArrivalBytesTCP());
    if (!bytes.empty()) {
      Write(bytes, true, "received data");
      return Arrival::kData;
    }
  } else {
    bool exact = true;
    const std::string text = TakeReceivedText(DataArrivalTCP(), exact);
    // The peer may send the words themselves; the state tells a close from them.
    if (text == kRemoteDisconnect && StateTCP() == kClosedByPeer) return Arrival::kClosed;
    if (!text.empty()) {
      Write(text, exact, "received data");
      return Arrival::kData;
    }
  }
  const int32_t state = StateTCP();
  if (state == kClosedByPeer) return Arrival::kClosed;
  return state == kConnectionFailed ? Arrival::kFailed : Arrival::kNothing;
}

void Receiver::Write(const std::string& bytes, bool exact, const char* what) {
  if (!exact && !warned_) {
    warned_ = true;
    Say(std::string(what) + " was not text in " + CodePageName() +
        " and changed within output bytes " + std::to_string(written_) + " to " +
        std::to_string(written_ + bytes.size() - 1) +
        (binary_ ? "" : " (--binary passes bytes unchanged)"));
  }
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
  written_ += bytes.size();
}

}  // namespace qws_cli

#include "relay.h"

#include "common.h"
#include "console.h"
#include "input.h"

namespace qws_cli {
namespace {

constexpr size_t kSendPiece = 1 << 20;  // the most bytes one retry offers
constexpr int16_t kPeerSlot = 0;        // the one connection, in the thread's first slot

// Between rounds: the library's wait ends as soon as the peer sends or leaves.
void AwaitPeer() { WaitTCP(kIdleWait); }

// One connection: started, then relayed until it ends.
class Session {
 public:
  explicit Session(const Options& options) : options_(options), receiver_(options.binary) {}

  // kRunning once connected; otherwise the exit status.
  int Start() { return options_.listen ? ListenForOne() : Connect(); }

  // Moves data both ways until the peer leaves, input ends (and the linger time
  // has passed), the stop marker appears, or Ctrl-C.
  int Relay() {
    input_.Start();
    receiver_.WriteGreeting();
    Clock::time_point lingerUntil{};
    bool inputDone = false;
    for (;;) {
      if (const char* reason = stops_.Reason()) {
        Say(reason);
        return Stopped();
      }
      switch (receiver_.Poll()) {
        case Arrival::kData:
          continue;
        case Arrival::kClosed:
          Say("remote disconnect");
          return kOrderly;
        case Arrival::kFailed:
          Say("the connection failed" + Reason(LastErrorTCP()));
          return kFailed;
        case Arrival::kNothing:
          break;
      }
      std::string data;
      uint64_t offset = 0;
      if (options_.binary ? input_.TakeAll(data, offset) : input_.TakeLine(data, offset)) {
        const int status = options_.binary ? SendRest(data, 0) : SendLine(data, offset);
        if (status != kRunning) return status;
        continue;
      }
      if (!inputDone && input_.Exhausted()) {
        inputDone = true;
        lingerUntil = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(options_.lingerSeconds));
      }
      if (inputDone && Clock::now() >= lingerUntil) return kOrderly;
      AwaitPeer();
    }
  }

 private:
  // Text goes out only when SendTCP would send exactly the input's bytes.
  int SendLine(const std::string& line, uint64_t offset) {
    const std::string bytes = line + options_.lineEnding;
    HostString text = nullptr;
    size_t bad = 0;
    if (!ExactWideText(bytes, text, bad)) return NotText(offset + bad);
    const int32_t sent = SendTCP(text);
    FreeHostString(text);
    if (sent < 0 && LastErrorTCP() != kWouldBlock) return Unsent(bytes.size());
    // Those bytes are what SendTCP sends, so the rest can go as bytes from where it
    // stopped, even inside a character.
    return SendRest(bytes, sent < 0 ? 0 : static_cast<size_t>(sent));
  }

  // Sends `bytes` from `sent` on, no byte twice and none left out, pausing while
  // the peer's buffers are full.
  int SendRest(const std::string& bytes, size_t sent) {
    while (sent < bytes.size()) {
      const std::string piece = bytes.substr(sent, kSendPiece);
      HostString packed = PackedHostString(piece);
      const int32_t result = SendBytesTCP(packed);
      FreeHostString(packed);
      if (result < 0 && LastErrorTCP() != kWouldBlock) return Unsent(bytes.size() - sent);
      if (result > 0) sent += static_cast<size_t>(result);
      if (result == static_cast<int32_t>(piece.size())) continue;
      const int status = WaitToSend(bytes.size() - sent);
      if (status != kRunning) return status;
    }
    return kRunning;
  }

  // "; N bytes were not sent", counting input read and not yet taken.
  std::string NotSent(size_t unsent) {
    return "; " + std::to_string(unsent + input_.Waiting()) + " bytes of input were not sent";
  }

  int Unsent(size_t unsent) {
    Say("send failed" + Reason(LastErrorTCP()) + NotSent(unsent));
    return kFailed;
  }

  // Lets the library pump and the peer read, writing out what arrives meanwhile.
  int WaitToSend(size_t unsent) {
    const std::string notSent = NotSent(unsent);
    if (const char* reason = stops_.Reason()) {
      Say(reason + notSent);
      return Stopped();
    }
    switch (receiver_.Poll()) {
      case Arrival::kClosed:
        Say("remote disconnect" + notSent);
        return kFailed;
      case Arrival::kFailed:
        Say("the connection failed" + Reason(LastErrorTCP()) + notSent);
        return kFailed;
      case Arrival::kData:
        return kRunning;
      case Arrival::kNothing:
        break;
    }
    AwaitPeer();
    return kRunning;
  }

  // On a stop what has arrived is written out before the close, which discards
  // whatever comes after it.
  int Stopped() {
    const Clock::time_point until = Clock::now() + kStopDrainLimit;
    while (receiver_.Poll() == Arrival::kData && Clock::now() < until) {
    }
    return stops_.status();
  }

  // The --trust files, each of which must hold at least one certificate.
  bool Trusted() {
    for (const std::string& file : options_.trust) {
      HostString path = nullptr;
      size_t badOffset = 0;
      const bool text = ExactWideText(file, path, badOffset);
      const int32_t read = text ? TrustTLS(path) : -1;
      FreeHostString(path);
      if (read <= 0) {
        Say("cannot trust " + file + (text ? Reason(LastErrorTCP()) : ": not a file name here"));
        return false;
      }
    }
    return true;
  }

  int Connect() {
    const std::string where = options_.host + ":" + std::to_string(options_.port);
    if (options_.tls && !Trusted()) return kFailed;
    HostString host = PackedHostString(options_.host);
    const int16_t port = static_cast<int16_t>(options_.port);
    const bool connected = (options_.tls ? ConnectTLS(host, port) : ConnectTCP(host, port)) != 0;
    FreeHostString(host);
    if (connected) {
      Say("connected to " + where + (options_.tls ? " over TLS" : ""));
      return kRunning;
    }
    const int32_t error = LastErrorTCP();
    if (error == kRefused)
      Say(where + " refused the connection");
    else if (error == kHostNotFound)
      Say("cannot resolve " + options_.host);
    else
      Say("cannot connect to " + where + Reason(error));
    return kFailed;
  }

  // Listens, then waits until one peer is accepted: its poll runs once one waits.
  int ListenForOne() {
    if (!Listen(options_)) return kFailed;
    while (WaitTCP(kIdleWait) != kPeerSlot || !ConnectRequestTCP()) {
      if (const char* reason = stops_.Reason()) {
        Say(reason);
        return stops_.status();
      }
    }
    Say("peer connected from " + PeerAddress());
    return kRunning;
  }

  const Options& options_;
  Input& input_ = ProcessInput();
  Stops stops_;
  Receiver receiver_;
};

}  // namespace

int RelayOnePeer(const Options& options) {
  Session session(options);
  int status = session.Start();
  if (status == kRunning) status = session.Relay();
  // The close waits for the peer to take what was sent and end its side; a stop
  // keeps its own status.
  if (CloseTCP() == 0 && LastErrorTCP() != 0 && status != kFailed) {
    Say("the peer did not take everything before the close" + Reason(LastErrorTCP()) +
        ": the last bytes sent may not have arrived");
    if (status == kOrderly) status = kFailed;
  }
  return status;
}

}  // namespace qws_cli

// qws: a command-line host of the library, and the reference for driving its
// polling interface. It connects or listens, then relays standard input to the
// peer (line by line as text, or as bytes) and what the peer sends to standard
// output as it arrives.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Quillmar_ws.h"
#include "console.h"

namespace qws_cli {
namespace {

constexpr char kVersion[] = "qws " QWS_VERSION;  // the project's version, from CMake
constexpr char kRemoteDisconnect[] = "Remote Disconnect";
constexpr auto kIdlePause = std::chrono::milliseconds(10);
constexpr auto kMarkerInterval = std::chrono::milliseconds(100);
// On a stop, what has arrived is written out for this long at most: a peer that
// keeps sending does not hold the stop for ever.
constexpr auto kStopDrainLimit = std::chrono::seconds(10);
// Input that one client of listen --many may hold back unread before it is dropped.
constexpr size_t kClientQueueLimit = size_t{16} << 20;
constexpr size_t kQueuePiece = 65536;   // what one send offers a client of listen --many
constexpr size_t kReadSize = 65536;     // one read of standard input
constexpr size_t kSendPiece = 1 << 20;  // the most bytes one retry offers
constexpr size_t kMaxPortDigits = 5;
constexpr long kMaxPort = 65535;
constexpr int16_t kListenerSlot = 0;  // listen --many: the clients get slots from 1 up
constexpr int16_t kSlotCount = 1024;

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

constexpr char kUsage[] =
    "usage: qws [options] connect HOST PORT\n"
    "       qws [options] listen [--many] PORT\n"
    "\n"
    "Connects to HOST:PORT, or waits on PORT (decimal, 1 to 65535) for one peer, then\n"
    "sends standard input to the peer and writes what the peer sends to standard\n"
    "output, starting with the greeting: what the peer sent before the connection was\n"
    "made (up to 64 bytes). Ends when the peer disconnects, when input ends, when the\n"
    "stop marker \"stopws.dat\" appears in the current directory (it is then cleared),\n"
    "or on Ctrl-C; on those two stops what has arrived is written out first, and\n"
    "the exit status is 3 (the marker) or 130 (Ctrl-C).\n"
    "\n"
    "listen --many serves every client that connects, each in a slot of its own:\n"
    "what any client sends goes to standard output, standard input goes to every\n"
    "client, and each client's coming and going is said on standard error. It ends\n"
    "only on the stop marker or Ctrl-C.\n"
    "\n"
    "Text (the default) passes through the system's code page: UTF-8 on Linux, the\n"
    "ANSI code page on Windows. Input goes line by line, each line's ending replaced\n"
    "by --line-ending; it must be text in the code page, and qws stops at the first\n"
    "byte that is not. Received text is written unchanged when it is text in the\n"
    "code page; qws says when it was not. With --binary every byte passes unchanged\n"
    "both ways, but for the greeting, which the library always takes as text.\n"
    "\n"
    "options:\n"
    "  --binary                    send and receive bytes, unchanged\n"
    "  --tls                       connect over TLS; the server's certificate must verify\n"
    "                              for HOST against the system's roots\n"
    "  --trust FILE                also trust the authorities of this PEM file (with --tls)\n"
    "  --line-ending none|lf|crlf  what ends each line of text sent (default lf)\n"
    "  --linger SECONDS            keep reading this long after input ends (default 0)\n"
    "  --help                      show this text\n"
    "  --version                   show the version\n";

struct Options {
  bool listen = false;
  bool many = false;  // listen --many
  bool binary = false;
  bool tls = false;
  std::vector<std::string> trust;  // PEM files of authorities to trust as well
  bool lineEndingGiven = false;
  bool lingerGiven = false;
  std::string host;
  uint16_t port = 0;
  std::string lineEnding = "\n";
  double lingerSeconds = 0;
};

using Clock = std::chrono::steady_clock;

std::atomic<bool> interrupted{false};

extern "C" void OnInterrupt(int) { interrupted = true; }

// One line on standard error.
void Say(const std::string& message) { std::fprintf(stderr, "qws: %s\n", message.c_str()); }

// ": what went wrong (error N)", or nothing when the library has no error to tell.
// Socket errors are small numbers; secure connections report HRESULTs, in hex.
std::string Reason(int32_t code) {
  if (code == 0) return "";
  char number[16];
  std::snprintf(number, sizeof number, code < 0 ? "0x%08X" : "%u", static_cast<unsigned>(code));
  return ": " + TakeText(ErrorTextTCP(code)) + " (error " + number + ")";
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// Decimal digits only: no sign, no spaces.
bool ParsePort(const std::string& text, uint16_t& port) {
  if (text.empty() || text.size() > kMaxPortDigits) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value < 1 || value > kMaxPort) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

bool ParseLineEnding(const std::string& text, std::string& ending) {
  if (text == "none")
    ending = "";
  else if (text == "lf")
    ending = "\n";
  else if (text == "crlf")
    ending = "\r\n";
  else
    return false;
  return true;
}

bool ParseSeconds(const std::string& text, double& seconds) {
  char* end = nullptr;
  seconds = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && seconds >= 0 && seconds < 1e6;
}

int BadArguments(const std::string& what) {
  Say(what);
  std::fputs(kUsage, stderr);
  return kBadArguments;
}

int ParseCommand(const std::deque<std::string>& positional, Options& options) {
  if (positional.empty()) return BadArguments("say connect HOST PORT or listen PORT");
  const std::string& command = positional[0];
  std::string portText;
  if (command == "connect") {
    if (positional.size() != 3) return BadArguments("connect takes HOST and PORT");
    options.host = positional[1];
    if (options.host.empty()) return BadArguments("the host name is empty");
    portText = positional[2];
  } else if (command == "listen") {
    if (positional.size() != 2) return BadArguments("listen takes PORT alone, or --many PORT");
    options.listen = true;
    portText = positional[1];
  } else {
    return BadArguments("unknown command " + Quoted(command));
  }
  if (!ParsePort(portText, options.port)) {
    return BadArguments("port " + Quoted(portText) + " is not a decimal number from 1 to 65535");
  }
  return kRunning;
}

// Returns kRunning, or the exit status when the arguments end the program (help,
// version, errors).
int Parse(int argc, char** argv, Options& options) {
  std::deque<std::string> args(argv + 1, argv + argc);
  std::deque<std::string> positional;
  while (!args.empty()) {
    const std::string arg = args.front();
    args.pop_front();
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kOrderly;
    }
    if (arg == "--version") {
      std::puts(kVersion);
      return kOrderly;
    }
    if (arg == "--binary") {
      options.binary = true;
    } else if (arg == "--many") {
      options.many = true;
    } else if (arg == "--tls") {
      options.tls = true;
    } else if (arg == "--trust") {
      if (args.empty()) return BadArguments("--trust needs a file");
      options.trust.push_back(args.front());
      args.pop_front();
    } else if (arg == "--line-ending" || arg == "--linger") {
      if (args.empty()) return BadArguments(arg + " needs a value");
      const std::string value = args.front();
      args.pop_front();
      if (arg == "--linger" && !ParseSeconds(value, options.lingerSeconds)) {
        return BadArguments("--linger takes seconds from 0, not " + Quoted(value));
      }
      if (arg == "--line-ending" && !ParseLineEnding(value, options.lineEnding)) {
        return BadArguments("--line-ending takes none, lf or crlf, not " + Quoted(value));
      }
      options.lineEndingGiven = options.lineEndingGiven || arg == "--line-ending";
      options.lingerGiven = options.lingerGiven || arg == "--linger";
    } else if (arg.size() > 1 && arg[0] == '-') {
      return BadArguments("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (options.binary && options.lineEndingGiven) {
    return BadArguments("--line-ending is for text; --binary sends input as it is");
  }
  if (!options.trust.empty() && !options.tls) return BadArguments("--trust is for --tls");
  const int command = ParseCommand(positional, options);
  if (command == kRunning && options.tls && options.listen) {
    return BadArguments("--tls is for connect: qws does not listen securely");
  }
  if (command == kRunning && options.many && !options.listen) {
    return BadArguments("--many is for listen");
  }
  if (command == kRunning && options.many && options.lingerGiven) {
    return BadArguments("--linger is for one peer: listen --many ends on the stop marker");
  }
  return command;
}

// Standard input, read on a thread of its own so that the connection's thread
// never blocks: what arrives waits here until the connection's thread sends it.
class Input {
 public:
  void Start() {
    std::thread([this] {
      std::string block(kReadSize, '\0');
      while (const size_t got = ReadInput(block.data(), block.size())) {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.append(block.data(), got);
      }
      std::lock_guard<std::mutex> lock(mutex_);
      ended_ = true;
    }).detach();
  }

  // Everything read so far; `offset` is where it starts in the input.
  bool TakeAll(std::string& bytes, uint64_t& offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.empty()) return false;
    offset = taken_;
    bytes.swap(pending_);
    pending_.clear();
    taken_ += bytes.size();
    scanned_ = 0;
    return true;
  }

  // The next line without its LF or CR LF; at the end of input, what is left.
  bool TakeLine(std::string& line, uint64_t& offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t end = pending_.find('\n', scanned_);
    if (end == std::string::npos) {
      scanned_ = pending_.size();
      if (!ended_ || pending_.empty()) return false;
    }
    const size_t taken = end == std::string::npos ? pending_.size() : end + 1;
    const size_t length = end == std::string::npos ? taken : end;
    line.assign(pending_, 0, length);
    if (end != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
    offset = taken_;
    pending_.erase(0, taken);
    taken_ += taken;
    scanned_ = 0;
    return true;
  }

  // Bytes read and not yet taken.
  size_t Waiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size();
  }

  // True once input has ended and all of it has been taken.
  bool Exhausted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_ && pending_.empty();
  }

 private:
  std::mutex mutex_;
  std::string pending_;
  size_t scanned_ = 0;  // pending_ holds no LF before this
  uint64_t taken_ = 0;  // the input offset of pending_'s first byte
  bool ended_ = false;
};

// The reading thread may stay blocked on input until the process ends, so what it
// fills lives as long: it is never destroyed under that thread, and stays
// reachable (no leak checker counts it lost).
Input& ProcessInput() {
  static Input* const input = new Input;
  return *input;
}

// The stop marker, looked at every kMarkerInterval; cleared once seen, as
// cooperating programs expect.
class StopMarker {
 public:
  bool Raised() {
    const auto now = Clock::now();
    if (now < next_) return false;
    next_ = now + kMarkerInterval;
    if (!stopwinsock()) return false;
    clearwinsockfile();
    return true;
  }

 private:
  Clock::time_point next_{};
};

enum class Arrival { kNothing, kData, kClosed, kFailed };

// The peer's data, written to standard output as it arrives.
class Receiver {
 public:
  explicit Receiver(bool binary) : binary_(binary) {}

  // The greeting changed only where its text differs from the bytes that the peer
  // sent: a U+FFFD of the peer's own is text like any other.
  void WriteGreeting() {
    const std::string greeting = TakeText(GreetingTCP());
    Write(greeting, greeting == TakeBytes(GreetingBytesTCP()), "the greeting");
  }

  // One receive pass.
  Arrival Poll() {
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

 private:
  // Data is never changed silently: the first change in a session is reported.
  void Write(const std::string& bytes, bool exact, const char* what) {
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

  bool binary_;
  bool warned_ = false;
  uint64_t written_ = 0;
};

// One connection: started, then relayed until it ends.
class Session {
 public:
  explicit Session(const Options& options) : options_(options), receiver_(options.binary) {}

  // kRunning once connected; otherwise the exit status.
  int Start() { return options_.listen ? Listen() : Connect(); }

  // listen --many: slot 0 listens, and each client it accepts is handed off to the
  // lowest free slot. Every client is polled once a round; each line (or block) of
  // input joins every client's queue, and each round sends every client what it
  // takes without waiting, so a client that reads slowly holds nobody else. A client
  // that leaves or fails is closed and its slot freed; one whose queue outgrows
  // kClientQueueLimit is dropped. On a stop the clients stay open: the end of the
  // server's thread closes them all within one bound.
  int Serve() {
    input_.Start();
    for (;;) {
      if (const char* reason = StopReason()) {
        Say(reason);
        return StopServing();
      }
      Admit();
      bool busy = PollClients();
      std::string data;
      uint64_t offset = 0;
      if (TakesInput() &&
          (options_.binary ? input_.TakeAll(data, offset) : input_.TakeLine(data, offset))) {
        const int status = QueueForClients(data, offset);
        if (status != kRunning) return status;
        busy = true;
      }
      busy = SendQueued() || busy;
      DropLaggards();
      if (!busy) std::this_thread::sleep_for(kIdlePause);
    }
  }

  // Moves data both ways until the peer leaves, input ends (and the linger time
  // has passed), the stop marker appears, or Ctrl-C.
  int Relay() {
    input_.Start();
    receiver_.WriteGreeting();
    Clock::time_point lingerUntil{};
    bool inputDone = false;
    for (;;) {
      if (const char* reason = StopReason()) {
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
      std::this_thread::sleep_for(kIdlePause);
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

  int NotText(uint64_t offset) {
    Say("input byte " + std::to_string(offset) + " is not text in " + CodePageName() +
        "; nothing from there on was sent (--binary sends bytes unchanged)");
    return kFailed;
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
    if (const char* reason = StopReason()) {
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
    std::this_thread::sleep_for(kIdlePause);
    return kRunning;
  }

  const char* StopReason() {
    if (interrupted) {
      stopStatus_ = kInterrupted;
      return "interrupted by Ctrl-C";
    }
    if (marker_.Raised()) {
      stopStatus_ = kStopped;
      return "stopped by the stop marker stopws.dat";
    }
    return nullptr;
  }

  // On a stop what has arrived is written out before the close, which discards
  // whatever comes after it.
  int Stopped() {
    const Clock::time_point until = Clock::now() + kStopDrainLimit;
    while (receiver_.Poll() == Arrival::kData && Clock::now() < until) {
    }
    return stopStatus_;
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
    if (!Resolves(options_.host)) {
      Say("cannot resolve " + options_.host);
      return kFailed;
    }
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

  // Listens, then polls until one peer is accepted; with --many, only listens.
  int Listen() {
    const std::string port = std::to_string(options_.port);
    if (!ListenerTCP(static_cast<int16_t>(options_.port))) {
      const int32_t error = LastErrorTCP();
      if (error == kAddressInUse)
        Say("port " + port + " is in use");
      else if (error == kAccessDenied)
        Say("no permission to listen on port " + port);
      else
        Say("cannot listen on port " + port + Reason(error));
      return kFailed;
    }
    Say("listening on port " + port);
    if (options_.many) return kRunning;
    while (!ConnectRequestTCP()) {
      if (const char* reason = StopReason()) {
        Say(reason);
        return stopStatus_;
      }
      std::this_thread::sleep_for(kIdlePause);
    }
    Say("peer connected");
    return kRunning;
  }

  // A client of listen --many: its slot, and the input it has not taken yet (from
  // `sent` on). A dropped client takes no more input and its data is no longer
  // written; its slot closes once its peer ends its side, or at the server's end,
  // so that its close does not hold the others.
  struct Client {
    int16_t slot;
    std::string queue;
    size_t sent = 0;
    bool dropped = false;

    size_t Waiting() const { return queue.size() - sent; }
  };

  static std::string Name(int16_t slot) { return "client " + std::to_string(slot); }

  // One accept poll while a slot is free; a client that comes then gets one.
  void Admit() {
    int16_t slot = kListenerSlot + 1;
    const auto uses = [&slot](const Client& client) { return client.slot == slot; };
    while (slot < kSlotCount && std::any_of(clients_.begin(), clients_.end(), uses)) ++slot;
    if (slot == kSlotCount) return;  // the next clients wait to be accepted
    SelectTCP(kListenerSlot);
    if (!ConnectRequestTCP()) {
      // The client stays queued; said once until one is accepted again.
      const int32_t error = LastErrorTCP();
      if ((error == kNoDescriptor || error == kNoBufferSpace) && !saidNoDescriptor_) {
        Say("a client waits, but no descriptor is left for it" + Reason(error) +
            ": it is accepted once another client leaves");
        saidNoDescriptor_ = true;
      }
      return;
    }
    saidNoDescriptor_ = false;
    if (!HandOffTCP(slot)) {
      Say("a client could not be handed off");
      return;
    }
    clients_.push_back({slot, {}});
    Say(Name(slot) + " connected");
    SelectTCP(slot);
    receiver_.WriteGreeting();
  }

  // One receive pass on every client; true when any had data.
  bool PollClients() {
    bool busy = false;
    for (size_t i = 0; i < clients_.size();) {
      Client& client = clients_[i];
      SelectTCP(client.slot);
      const Arrival arrival = client.dropped ? Discard() : receiver_.Poll();
      busy = busy || arrival == Arrival::kData;
      if (arrival == Arrival::kClosed || arrival == Arrival::kFailed) {
        if (!client.dropped) {
          Say(Name(client.slot) +
              (arrival == Arrival::kClosed ? " left" : " failed" + Reason(LastErrorTCP())) +
              NotSentTo(client));
        }
        Close(i);
      } else {
        ++i;
      }
    }
    return busy;
  }

  // A dropped client's pass: what it sends goes nowhere.
  static Arrival Discard() {
    if (!TakeBytes(DataArrivalBytesTCP()).empty()) return Arrival::kData;
    const int32_t state = StateTCP();
    if (state == kClosedByPeer) return Arrival::kClosed;
    return state == kConnectionFailed ? Arrival::kFailed : Arrival::kNothing;
  }

  // Input is taken while some client has taken nearly all of what went before, so
  // that the fastest reader sets the pace; with no client it goes to nobody.
  bool TakesInput() const {
    return std::all_of(clients_.begin(), clients_.end(),
                       [](const Client& client) { return client.dropped; }) ||
           std::any_of(clients_.begin(), clients_.end(), [](const Client& client) {
             return !client.dropped && client.Waiting() < kQueuePiece;
           });
  }

  // Input that is not text in the code page ends qws, as with one peer. Text goes
  // as the bytes SendTCP would make of it, without its pause.
  int QueueForClients(const std::string& data, uint64_t offset) {
    std::string bytes = data;
    if (!options_.binary) {
      bytes += options_.lineEnding;
      HostString text = nullptr;
      size_t bad = 0;
      const bool exact = ExactWideText(bytes, text, bad);
      FreeHostString(text);
      if (!exact) return NotText(offset + bad);
    }
    for (Client& client : clients_) {
      if (!client.dropped) client.queue += bytes;
    }
    return kRunning;
  }

  // A client that lags kClientQueueLimit behind the fastest is dropped.
  void DropLaggards() {
    size_t fastest = SIZE_MAX;
    for (const Client& client : clients_) {
      if (!client.dropped) fastest = std::min(fastest, client.Waiting());
    }
    for (Client& client : clients_) {
      if (!client.dropped && client.Waiting() - fastest > kClientQueueLimit) {
        Say(Name(client.slot) + " does not read: dropped" + NotSentTo(client));
        Drop(client);
      }
    }
  }

  // Each client takes what its socket takes now; true when any took something. A
  // client whose send fails is dropped, the others go on.
  bool SendQueued() {
    bool sent = false;
    for (Client& client : clients_) {
      if (client.Waiting() == 0) continue;
      SelectTCP(client.slot);
      HostString packed = PackedHostString(client.queue.substr(client.sent, kQueuePiece));
      const int32_t result = SendBytesTCP(packed);
      FreeHostString(packed);
      if (result < 0 && LastErrorTCP() != kWouldBlock) {
        Say(Name(client.slot) + ": send failed" + Reason(LastErrorTCP()) + NotSentTo(client));
        Drop(client);
        continue;
      }
      if (result <= 0) continue;
      sent = true;
      client.sent += static_cast<size_t>(result);
      // What went out is let go of now and then, not at every send.
      if (client.sent >= kQueuePiece && client.sent * 2 >= client.queue.size()) {
        client.queue.erase(0, client.sent);
        client.sent = 0;
      }
    }
    return sent;
  }

  // What every client sent is written out, and what was queued for it is sent while
  // it takes it, for kStopDrainLimit at most; what is left is said.
  int StopServing() {
    const Clock::time_point until = Clock::now() + kStopDrainLimit;
    const auto waiting = [](const Client& client) { return client.Waiting() > 0; };
    for (bool busy = true; Clock::now() < until;) {
      if (!busy && std::none_of(clients_.begin(), clients_.end(), waiting)) break;
      if (!busy) std::this_thread::sleep_for(kIdlePause);
      busy = PollClients();
      busy = SendQueued() || busy;
    }
    for (const Client& client : clients_) {
      if (client.Waiting() > 0) Say(Name(client.slot) + ": stopped" + NotSentTo(client));
    }
    return stopStatus_;
  }

  static std::string NotSentTo(const Client& client) {
    if (client.Waiting() == 0) return "";
    return "; " + std::to_string(client.Waiting()) + " bytes of input were not sent to it";
  }

  static void Drop(Client& client) {
    client.dropped = true;
    client.queue.clear();
    client.sent = 0;
  }

  // A client that left or failed closes at once: its peer has ended its side.
  void Close(size_t index) {
    SelectTCP(clients_[index].slot);
    CloseTCP();
    clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(index));
  }

  const Options& options_;
  Input& input_ = ProcessInput();
  StopMarker marker_;
  Receiver receiver_;
  int stopStatus_ = kOrderly;    // what a stop ends qws with, once StopReason saw one
  std::vector<Client> clients_;  // the clients served, with --many
  bool saidNoDescriptor_ = false;
};

int Run(const Options& options) {
  Session session(options);
  if (options.many) {
    // The server's own thread: its end closes every client within one bound, where
    // a close after another would wait for each in turn.
    int status = kFailed;
    std::thread server([&] {
      status = session.Start();
      if (status == kRunning) status = session.Serve();
    });
    server.join();
    return status;
  }
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

}  // namespace
}  // namespace qws_cli

int main(int argc, char** argv) {
  using namespace qws_cli;
  Options options;
  const int parsed = Parse(argc, argv, options);
  if (parsed != kRunning) return parsed;
  UseBinaryStreams();
  std::signal(SIGINT, OnInterrupt);
  return Run(options);
}

// qws: a command-line host of the library, and the reference for driving its
// polling interface. It connects or listens, then relays standard input to the
// peer line by line and the peer's text to standard output as it arrives.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "Quillmar_ws.h"
#include "console.h"

namespace qws_cli {
namespace {

constexpr char kVersion[] = "qws 1.00";
constexpr char kRemoteDisconnect[] = "Remote Disconnect";
constexpr auto kIdlePause = std::chrono::milliseconds(10);
constexpr auto kMarkerInterval = std::chrono::milliseconds(100);
constexpr size_t kMaxPortDigits = 5;
constexpr long kMaxPort = 65535;

// Windows Sockets error numbers, which the library reports on every platform.
constexpr int32_t kAccessDenied = 10013;
constexpr int32_t kAddressInUse = 10048;
constexpr int32_t kRefused = 10061;
constexpr int32_t kHostNotFound = 11001;

enum ExitStatus { kRunning = -1, kOrderly = 0, kFailed = 1, kBadArguments = 2 };

constexpr char kUsage[] =
    "usage: qws [options] connect HOST PORT\n"
    "       qws [options] listen PORT\n"
    "\n"
    "Connects to HOST:PORT, or waits on PORT (decimal, 1 to 65535) for one peer, then\n"
    "sends each line of standard input to the peer and writes what the peer sends to\n"
    "standard output. Ends when the peer disconnects, when input ends, when the stop\n"
    "marker \"stopws.dat\" appears in the current directory (it is then cleared), or\n"
    "on Ctrl-C.\n"
    "\n"
    "options:\n"
    "  --line-ending none|lf|crlf  what ends each line sent (default lf)\n"
    "  --linger SECONDS            keep reading this long after input ends (default 0)\n"
    "  --help                      show this text\n"
    "  --version                   show the version\n";

struct Options {
  bool listen = false;
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
std::string Reason(int32_t code) {
  if (code == 0) return "";
  return ": " + TakeText(ErrorTextTCP(code)) + " (error " + std::to_string(code) + ")";
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
    if (positional.size() != 2) return BadArguments("listen takes PORT alone");
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
    if (arg == "--line-ending" || arg == "--linger") {
      if (args.empty()) return BadArguments(arg + " needs a value");
      const std::string value = args.front();
      args.pop_front();
      if (arg == "--linger" && !ParseSeconds(value, options.lingerSeconds)) {
        return BadArguments("--linger takes seconds from 0, not " + Quoted(value));
      }
      if (arg == "--line-ending" && !ParseLineEnding(value, options.lineEnding)) {
        return BadArguments("--line-ending takes none, lf or crlf, not " + Quoted(value));
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      return BadArguments("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  return ParseCommand(positional, options);
}

// Standard input, read on a thread of its own so that the connection's thread
// never blocks: lines wait here until the connection's thread sends them.
class InputLines {
 public:
  void Start() {
    std::thread([this] {
      std::string line;
      while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
      }
      ended_ = true;
    }).detach();
  }

  bool Next(std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lines_.empty()) return false;
    line = std::move(lines_.front());
    lines_.pop_front();
    return true;
  }

  // True once input has ended and every line has been taken.
  bool Exhausted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_ && lines_.empty();
  }

 private:
  std::mutex mutex_;
  std::deque<std::string> lines_;
  std::atomic<bool> ended_{false};
};

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

bool Send(const std::string& bytes) {
  HostString text = WideHostString(bytes);
  const int32_t sent = SendTCP(text);
  FreeHostString(text);
  return sent >= 0;
}

const char* StopReason(StopMarker& marker) {
  if (interrupted) return "interrupted by Ctrl-C";
  if (marker.Raised()) return "stopped by the stop marker stopws.dat";
  return nullptr;
}

bool Connect(const Options& options) {
  const std::string where = options.host + ":" + std::to_string(options.port);
  if (!Resolves(options.host)) {
    Say("cannot resolve " + options.host);
    return false;
  }
  HostString host = PackedHostString(options.host);
  const bool connected = ConnectTCP(host, static_cast<int16_t>(options.port)) != 0;
  FreeHostString(host);
  if (connected) {
    Say("connected to " + where);
    return true;
  }
  const int32_t error = LastErrorTCP();
  if (error == kRefused)
    Say(where + " refused the connection");
  else if (error == kHostNotFound)
    Say("cannot resolve " + options.host);
  else
    Say("cannot connect to " + where + Reason(error));
  return false;
}

// Listens, then polls until one peer is accepted; false when listening fails.
// `stopped` is set when the wait ends without a peer.
bool Listen(const Options& options, StopMarker& marker, bool& stopped) {
  const std::string port = std::to_string(options.port);
  if (!ListenerTCP(static_cast<int16_t>(options.port))) {
    const int32_t error = LastErrorTCP();
    if (error == kAddressInUse)
      Say("port " + port + " is in use");
    else if (error == kAccessDenied)
      Say("no permission to listen on port " + port);
    else
      Say("cannot listen on port " + port + Reason(error));
    return false;
  }
  Say("listening on port " + port);
  while (!ConnectRequestTCP()) {
    if (const char* reason = StopReason(marker)) {
      Say(reason);
      stopped = true;
      return true;
    }
    std::this_thread::sleep_for(kIdlePause);
  }
  Say("peer connected");
  return true;
}

// Moves text both ways until the peer leaves, input ends (and the linger time
// has passed), the stop marker appears, or Ctrl-C.
void Relay(const Options& options, StopMarker& marker) {
  // The reading thread may stay blocked on input until the process ends, so what
  // it fills lives as long (and is never destroyed under it).
  static InputLines& input = *new InputLines;
  input.Start();
  Clock::time_point lingerUntil{};
  bool inputDone = false;
  for (;;) {
    if (const char* reason = StopReason(marker)) {
      Say(reason);
      return;
    }
    const std::string arrived = TakeText(DataArrivalTCP());
    if (arrived == kRemoteDisconnect) {
      Say("remote disconnect");
      return;
    }
    if (!arrived.empty()) {
      std::fwrite(arrived.data(), 1, arrived.size(), stdout);
      std::fflush(stdout);
      continue;
    }
    std::string line;
    if (input.Next(line)) {
      if (!Send(line + options.lineEnding)) Say("send failed");
      continue;
    }
    if (!inputDone && input.Exhausted()) {
      inputDone = true;
      lingerUntil = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(options.lingerSeconds));
    }
    if (inputDone && Clock::now() >= lingerUntil) return;
    std::this_thread::sleep_for(kIdlePause);
  }
}

int Run(const Options& options) {
  StopMarker marker;
  bool stopped = false;
  const bool started = options.listen ? Listen(options, marker, stopped) : Connect(options);
  if (started && !stopped) Relay(options, marker);
  CloseTCP();
  return started ? kOrderly : kFailed;
}

}  // namespace
}  // namespace qws_cli

int main(int argc, char** argv) {
  using namespace qws_cli;
  Options options;
  const int parsed = Parse(argc, argv, options);
  if (parsed != kRunning) return parsed;
  UseBinaryOutput();
  std::signal(SIGINT, OnInterrupt);
  return Run(options);
}

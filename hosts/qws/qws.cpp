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

constexpr char kVersion[] = "qws " QWS_VERSION;  // the project's version, from CMake
constexpr char kRemoteDisconnect[] = "Remote Disconnect";
constexpr auto kIdlePause = std::chrono::milliseconds(10);
constexpr auto kMarkerInterval = std::chrono::milliseconds(100);

enum ExitStatus { kOrderly = 0, kFailed = 1, kBadArguments = 2 };

constexpr char kUsage[] =
    "usage: qws [options] connect HOST PORT\n"
    "       qws [options] listen PORT\n"
    "\n"
    "Connects to HOST:PORT, or waits on PORT for one peer, then sends each line of\n"
    "standard input to the peer and writes what the peer sends to standard output.\n"
    "Ends when the peer disconnects, when input ends, when the stop marker\n"
    "\"stopws.dat\" appears in the current directory (it is then cleared), or on Ctrl-C.\n"
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

bool ParsePort(const std::string& text, uint16_t& port) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < 1 || value > 65535) return false;
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

// Returns an exit status when the arguments end the program (help, version, errors).
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
      if (args.empty()) return kBadArguments;
      const std::string value = args.front();
      args.pop_front();
      const bool valid = arg == "--linger" ? ParseSeconds(value, options.lingerSeconds)
                                           : ParseLineEnding(value, options.lineEnding);
      if (!valid) return kBadArguments;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return kBadArguments;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() == 3 && positional[0] == "connect") {
    options.host = positional[1];
    return ParsePort(positional[2], options.port) ? -1 : kBadArguments;
  }
  if (positional.size() == 2 && positional[0] == "listen") {
    options.listen = true;
    return ParsePort(positional[1], options.port) ? -1 : kBadArguments;
  }
  return kBadArguments;
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

bool Connect(const Options& options) {
  HostString host = PackedHostString(options.host);
  const bool connected = ConnectTCP(host, static_cast<int16_t>(options.port)) != 0;
  FreeHostString(host);
  if (!connected) {
    std::fprintf(stderr, "qws: cannot connect to %s:%u\n", options.host.c_str(), options.port);
  }
  return connected;
}

// Listens, then polls until one peer is accepted; false when listening fails.
// `stopped` is set when the wait ends without a peer.
bool Listen(const Options& options, StopMarker& marker, bool& stopped) {
  if (!ListenerTCP(static_cast<int16_t>(options.port))) {
    std::fprintf(stderr, "qws: cannot listen on port %u\n", options.port);
    return false;
  }
  std::fprintf(stderr, "qws: listening on port %u\n", options.port);
  while (!ConnectRequestTCP()) {
    if (interrupted || marker.Raised()) {
      stopped = true;
      return true;
    }
    std::this_thread::sleep_for(kIdlePause);
  }
  std::fputs("qws: peer connected\n", stderr);
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
  while (!interrupted && !marker.Raised()) {
    const std::string arrived = TakeText(DataArrivalTCP());
    if (arrived == kRemoteDisconnect) {
      std::fputs("qws: remote disconnect\n", stderr);
      return;
    }
    if (!arrived.empty()) {
      std::fwrite(arrived.data(), 1, arrived.size(), stdout);
      std::fflush(stdout);
      continue;
    }
    std::string line;
    if (input.Next(line)) {
      if (!Send(line + options.lineEnding)) std::fputs("qws: send failed\n", stderr);
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
  if (parsed == kBadArguments) std::fputs(kUsage, stderr);
  if (parsed >= 0) return parsed;
  UseBinaryOutput();
  std::signal(SIGINT, OnInterrupt);
  return Run(options);
}

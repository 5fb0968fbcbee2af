#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <deque>

#include "common.h"

namespace qws_cli {
namespace {

constexpr char kVersion[] = "qws " QWS_VERSION;  // the project's version, from CMake
constexpr size_t kMaxPortDigits = 5;
constexpr long kMaxPort = 65535;

constexpr char kUsage[] =
    "usage: qws [options] connect HOST PORT\n"
    "       qws [options] listen [--many] PORT\n"
    "\n"
    "Connects to HOST:PORT, or waits on PORT (decimal, 1 to 65535; listen 0 takes a\n"
    "port that the system chooses and says it) for one peer, then\n"
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

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// Decimal digits only: no sign, no spaces. 0 only where the system is to choose.
bool ParsePort(const std::string& text, uint16_t& port, long lowest) {
  if (text.empty() || text.size() > kMaxPortDigits) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value < lowest || value > kMaxPort) return false;
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
  // listen 0: a port that the system chooses, which qws then says.
  const long lowest = options.listen ? 0 : 1;
  if (!ParsePort(portText, options.port, lowest)) {
    return BadArguments("port " + Quoted(portText) + " is not a decimal number from " +
                        std::to_string(lowest) + " to 65535");
  }
  return kRunning;
}

}  // namespace

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

}  // namespace qws_cli

// qws: a command-line host of the library, and the reference for driving it. It
// connects or listens, then relays standard input to the peer (line by line as
// text, or as bytes) and what the peer sends to standard output as it arrives;
// listen --many serves many clients at once. Between rounds it waits in the
// library for whichever connection needs it.
#include <csignal>

#include "common.h"
#include "console.h"
#include "many_server.h"
#include "relay.h"

int main(int argc, char** argv) {
  using namespace qws_cli;
  Options options;
  const int parsed = Parse(argc, argv, options);
  if (parsed != kRunning) return parsed;
  UseBinaryStreams();
  std::signal(SIGINT, OnInterrupt);
  return options.many ? ServeMany(options) : RelayOnePeer(options);
}

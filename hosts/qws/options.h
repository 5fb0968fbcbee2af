// The command line of qws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qws_cli {

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

// kRunning (-1), or the exit status when the arguments end the program (help,
// version, errors).
int Parse(int argc, char** argv, Options& options);

}  // namespace qws_cli

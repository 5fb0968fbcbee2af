// qws listen --many: a server of every client that connects, each in a slot of its own.
#pragma once

#include "options.h"

namespace qws_cli {

// Runs on a thread of its own, whose end closes every client within one bound;
// returns the exit status.
int ServeMany(const Options& options);

}  // namespace qws_cli

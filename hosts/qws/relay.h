// qws with one peer: connect, or listen for one, then relay both ways.
#pragma once

#include "options.h"

namespace qws_cli {

// The exit status once the connection has ended and closed.
int RelayOnePeer(const Options& options);

}  // namespace qws_cli

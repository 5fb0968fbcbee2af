// Which socket table the library calls through: the platform's own, unless a
// test has put a wrapper in its place.
#include <atomic>

#include "platform.h"

namespace qws::platform {
namespace {

std::atomic<const SocketApi*> replacement{nullptr};

}  // namespace

const SocketApi& Sockets() {
  const SocketApi* api = replacement.load(std::memory_order_relaxed);
  return api != nullptr ? *api : NativeSockets();
}

void UseSockets(const SocketApi* api) { replacement.store(api); }

}  // namespace qws::platform

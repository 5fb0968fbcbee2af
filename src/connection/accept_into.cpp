#include "operations.h"

namespace qws {

bool ListensIdle(const ConnectionRecord& listener) {
  return listener.clientMode == kServerRole && listener.mainSocket.open() && !listener.accepting;
}

// A server of many clients admits them at the network's speed: the peer goes
// straight into its slot, with none of the accept poll's pauses, and its first
// bytes wait there for the slot's first pass. No peer waiting changes nothing; no
// descriptor left is the listener's failure, and the peer stays queued.
bool AcceptInto(ConnectionRecord& listener, ConnectionRecord& slot) {
  if (&listener == &slot || !ListensIdle(listener) || !TakesConnection(slot)) return false;

  const SocketHandle peer = Accept(listener.mainSocket);
  if (!peer.open()) {
    const int32_t error = LayerError();
    if (error == kNoDescriptor || error == kNoBufferSpace) listener.lastError = error;
    return false;
  }
  // The slot starts as a connection start does: what is left of its ended
  // connection closes, and it takes a start of its own for its CloseTCP to give back.
  StartWinsock(slot);
  slot.mainSocket = peer;
  slot.peer = EndAddress(peer, true);
  slot.local = EndAddress(peer, false);
  slot.clientMode = kClientRole;
  slot.state = ConnectionState::kConnected;
  slot.lastError = kNoError;
  return true;
}

}  // namespace qws

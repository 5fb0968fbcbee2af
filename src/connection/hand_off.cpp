#include <cstring>

#include "operations.h"

namespace qws {

// A slot takes a connection when it has none, or one that has ended; a listener
// whose peer has ended still listens. As with a connection start, an operation that
// runs on the slot does not stop it.
bool TakesConnection(const ConnectionRecord& slot) {
  const bool listens = slot.clientMode == kServerRole && slot.mainSocket.open();
  return !listens &&
         (slot.state == ConnectionState::kNone || slot.state == ConnectionState::kClosedByPeer ||
          slot.state == ConnectionState::kFailed);
}

bool HoldsPeer(const ConnectionRecord& listener) {
  return listener.clientMode == kServerRole && listener.ready != kFalse && !listener.accepting &&
         listener.passes == 0 && listener.mainSocket.open() && listener.acceptedSocket.open();
}

bool HandOffPeer(ConnectionRecord& listener, ConnectionRecord& slot) {
  if (&listener == &slot || !HoldsPeer(listener) || !TakesConnection(slot)) return false;

  // The slot starts as a connection start does: what is left of its ended
  // connection closes, and it takes a start of its own for its CloseTCP to give back.
  const uint32_t generation = listener.generation;
  StartWinsock(slot);
  // That close pumps when there was something to close: host code may have ended,
  // replaced or handed off the listener's peer meanwhile.
  if (listener.generation != generation || !HoldsPeer(listener)) {
    ReleaseWinsock(slot);
    slot.state = ConnectionState::kNone;
    return false;
  }

  // The peer becomes the slot's connection, as ConnectTCP's would be.
  slot.mainSocket = listener.acceptedSocket;
  slot.peer = listener.peer;
  slot.local = EndAddress(slot.mainSocket, false);
  slot.clientMode = kClientRole;
  std::memcpy(slot.carry, listener.carry, sizeof slot.carry);
  slot.carryLength = listener.carryLength;
  slot.greeting = std::move(listener.greeting);
  slot.greetingBytes = std::move(listener.greetingBytes);
  slot.state = listener.state;
  slot.lastError = listener.lastError;  // a peer that failed keeps its reason

  // The listener listens on with no peer; an operation on it that pumps can tell.
  ++listener.generation;
  listener.acceptedSocket = SocketHandle{};
  listener.peer = {};
  listener.carryLength = 0;
  listener.greeting.clear();
  listener.greetingBytes.clear();
  listener.state = ConnectionState::kListening;
  listener.lastError = kNoError;
  return true;
}

}  // namespace qws

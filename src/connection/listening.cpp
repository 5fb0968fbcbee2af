#include "operations.h"

namespace qws {
namespace {

bool FailStart(ConnectionRecord& record, int32_t error) {
  Close(record.mainSocket);
  ReleaseWinsock(record);
  record.state = ConnectionState::kFailed;
  record.lastError = error;
  return false;
}

// A socket of the family bound to every local address at `port`: 0, or the error
// of the step that failed, with nothing left open.
int32_t OpenBound(ConnectionRecord& record, int16_t family, int16_t port) {
  const int32_t opened = OpenSocket(record, family);
  if (opened != kNoError) return opened;
  AllowAddressReuse(record.mainSocket);
  platform::SocketAddress any;  // all zeros: every address of the family
  any.family = family;
  any.port = NetworkPort(port);
  if (Bind(record.mainSocket, any) == 0) return kNoError;
  const int32_t error = FailureError(record.mainSocket);
  Close(record.mainSocket);
  return error;
}

// accept can fail although the probe saw a peer (it went away in between), so it
// is tried again at every step of the wait, for a bounded time. Without a descriptor
// left (Windows may say no buffer space) no wait helps: the peer stays queued for a
// later poll and the host hears at once.
SocketHandle TakePeer(ConnectionRecord& record) {
  const SocketHandle& listening = record.mainSocket;
  SocketHandle peer = Accept(listening);
  for (int32_t waited = 0; !peer.open() && waited < kAcceptWaitLimit; waited += kAcceptWaitStep) {
    const int32_t error = LayerError();
    if (error == kNoDescriptor || error == kNoBufferSpace) break;
    Delay(kAcceptWaitStep);
    PumpMessages(record);
    peer = Accept(listening);
  }
  return peer;
}

// The poll itself, once no pass or other poll runs: listen again, probe, take the
// peer and its greeting.
bool AcceptPeer(ConnectionRecord& record) {
  record.ready = kFalse;
  // Listening again keeps the backlog; it tells a socket that cannot listen.
  const int listened = Listen(record.mainSocket, kListenBacklog);
  // No peer waiting is no failure; a socket that cannot listen is.
  record.lastError = listened < 0 ? FailureError(record.mainSocket) : kNoError;
  if (listened < 0 || !ProbeReadable(record.mainSocket, kAcceptProbe)) {
    PumpMessages(record);
    record.ready = kTrue;
    return false;
  }

  const SocketHandle peer = TakePeer(record);
  if (!peer.open()) {
    record.lastError = FailureError(record.mainSocket);
    record.ready = kTrue;
    return false;
  }
  // The peer this one replaces would otherwise stay connected and unreachable; it
  // gets what was sent to it first.
  const uint32_t generation = record.generation;
  CloseGracefully(record, record.acceptedSocket, CloseWait::kPumping);
  if (record.generation != generation) {
    // Host code at the close's pump points ended or replaced the listener.
    SocketHandle unwanted = peer;
    Close(unwanted);
    record.ready = kTrue;
    return false;
  }
  record.acceptedSocket = peer;
  record.peer = EndAddress(peer, true);
  ++record.generation;  // another peer: a hand-off that pumped meanwhile can tell
  record.carryLength = 0;
  record.clientMode = kServerRole;
  record.state = ConnectionState::kConnected;
  record.lastError = kNoError;

  Delay(kAfterAcceptPause);
  record.ready = kTrue;
  Delay(kAcceptSettlePause);
  TakeGreeting(record);
  record.ready = kTrue;
  return true;
}

}  // namespace

bool StartListening(ConnectionRecord& record, int16_t port) {
  StartWinsock(record);
  // One socket for both families, on every address of each; where the system offers
  // no IPv6 (no such socket, or no address to bind it to), IPv4 alone as before.
  int32_t error = OpenBound(record, platform::kAddressFamilyInet6, port);
  if (error == kFamilyNotSupported || error == kProtocolNotSupported ||
      error == kAddressNotAvailable) {
    error = OpenBound(record, platform::kAddressFamilyInet, port);
  }
  if (error != kNoError) return FailStart(record, error);

  Listen(record.mainSocket, kListenBacklog);
  record.local = EndAddress(record.mainSocket, false);
  record.clientMode = kServerRole;
  record.state = ConnectionState::kListening;
  record.lastError = kNoError;
  return true;
}

bool AcceptWaitingPeer(ConnectionRecord& record) {
  PumpMessages(record);
  if (record.ready == kFalse) return false;  // nested in a pass or another poll

  // The peer is not to be handed off before its greeting pass is over.
  const bool outerAccepting = record.accepting;
  record.accepting = true;
  const bool accepted = AcceptPeer(record);
  record.accepting = outerAccepting;
  return accepted;
}

}  // namespace qws

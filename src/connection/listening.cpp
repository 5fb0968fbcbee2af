#include "operations.h"

namespace qws {
namespace {

bool FailStart(ConnectionRecord& record) {
  Close(record.mainSocket);
  ReleaseWinsock(record);
  return false;
}

// accept can fail although the probe saw a peer (it went away in between), so it
// is tried again at every step of the wait, for a bounded time.
SocketHandle TakePeer(const SocketHandle& listening) {
  SocketHandle peer = Accept(listening);
  for (int32_t waited = 0; !peer.open() && waited < kAcceptWaitLimit; waited += kAcceptWaitStep) {
    Delay(kAcceptWaitStep);
    PumpMessages();
    peer = Accept(listening);
  }
  return peer;
}

bool PeerWaiting(const SocketHandle& listening) {
  return Listen(listening, kPollBacklog) >= 0 && ProbeReadable(listening, kAcceptProbe);
}

}  // namespace

bool StartListening(ConnectionRecord& record, int16_t port) {
  StartWinsock(record);
  OpenSocket(record);
  if (record.mainSocket.value <= 0) return FailStart(record);

  AllowAddressReuse(record.mainSocket);
  FillAddress(record, port, kAnyAddress);
  if (Bind(record.mainSocket, record.address) != 0) return FailStart(record);

  Listen(record.mainSocket, kListenBacklog);
  record.clientMode = kServerRole;
  return true;
}

bool AcceptWaitingPeer(ConnectionRecord& record) {
  PumpMessages();
  if (record.ready == kFalse) return false;  // nested in a pass or another poll

  record.ready = kFalse;
  if (!PeerWaiting(record.mainSocket)) {
    PumpMessages();
    record.ready = kTrue;
    return false;
  }

  const SocketHandle peer = TakePeer(record.mainSocket);
  if (!peer.open()) {
    record.ready = kTrue;
    return false;
  }
  // The peer this one replaces would otherwise stay connected and unreachable.
  Close(record.acceptedSocket);
  record.acceptedSocket = peer;
  record.carryLength = 0;
  record.clientMode = kServerRole;

  Delay(kAfterAcceptPause);
  record.ready = kTrue;
  Delay(kAcceptSettlePause);
  ReceivePass(record);
  record.ready = kTrue;
  return true;
}

}  // namespace qws

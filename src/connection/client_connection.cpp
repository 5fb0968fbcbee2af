#include "operations.h"

namespace qws {
namespace {

// Readable right after connect means bytes are waiting (a server that greets at
// once: connected) or the socket reports a close or an error (failed). Returns
// the error of a failed connection, 0 otherwise.
int32_t FailureAtProbe(const SocketHandle& socket) {
  if (!ProbeReadable(socket, kConnectProbe)) return kNoError;
  char first;
  const int peeked = Recv(socket, &first, 1, platform::kRecvPeek);
  if (peeked > 0) return kNoError;
  const int pending = PendingError(socket);
  if (pending != 0) return pending;
  return peeked < 0 ? FailureError(socket) : kConnectionAborted;
}

bool Fail(ConnectionRecord& record, int32_t error) {
  Close(record.mainSocket);
  record.state = ConnectionState::kFailed;
  record.lastError = error;
  return false;
}

}  // namespace

bool ConnectSocket(ConnectionRecord& record, const std::string& host, int16_t port) {
  StartWinsock(record);
  const uint32_t ip = ResolveHost(host);
  if (ip == platform::kNoAddress) {
    // A text that never reached the resolver (it holds a NUL) names no host either.
    const int32_t error = LayerError();
    return Fail(record, host.find('\0') == std::string::npos && error != 0 ? error : kHostNotFound);
  }

  OpenSocket(record);
  const int32_t socketError = record.mainSocket.open() ? kNoError : LayerError();
  Delay(kBeforeConnectPause);
  if (!record.mainSocket.open()) {
    record.state = ConnectionState::kFailed;
    record.lastError = socketError;
    return false;
  }

  FillAddress(record, port, ip);
  Connect(record.mainSocket, record.address);
  const int32_t atProbe = FailureAtProbe(record.mainSocket);
  if (atProbe != kNoError) return Fail(record, atProbe);

  Delay(kAfterConnectPause);
  // Winsock reports a refusal where the probe never looks: in the pending error.
  const int pending = PendingError(record.mainSocket);
  if (pending != 0) return Fail(record, pending);

  record.clientMode = kClientRole;
  record.state = ConnectionState::kConnecting;
  record.lastError = kNoError;
  SettleConnecting(record);
  return true;
}

bool ConnectToServer(ConnectionRecord& record, const std::string& host, int16_t port) {
  if (!ConnectSocket(record, host, port)) return false;
  TakeGreeting(record);
  return true;
}

}  // namespace qws

#include "operations.h"

namespace qws {
namespace {

// Readable right after connect means bytes are waiting (a server that greets at
// once: connected) or the socket reports a close or an error (failed).
bool FailedAtProbe(const SocketHandle& socket) {
  if (!ProbeReadable(socket, kConnectProbe)) return false;
  char first;
  return Recv(socket, &first, 1, platform::kRecvPeek) <= 0;
}

bool Fail(ConnectionRecord& record) {
  Close(record.mainSocket);
  return false;
}

}  // namespace

bool ConnectToServer(ConnectionRecord& record, const std::string& host, int16_t port) {
  StartWinsock(record);
  const uint32_t ip = ResolveHost(host);
  if (ip == platform::kNoAddress) return Fail(record);

  OpenSocket(record);
  Delay(kBeforeConnectPause);
  if (!record.mainSocket.open()) return false;

  FillAddress(record, port, ip);
  Connect(record.mainSocket, record.address);
  if (FailedAtProbe(record.mainSocket)) return Fail(record);

  Delay(kAfterConnectPause);
  // Winsock reports a refusal where the probe never looks: in the pending error.
  if (PendingError(record.mainSocket) != 0) return Fail(record);

  record.clientMode = kClientRole;
  ReceivePass(record);
  return true;
}

}  // namespace qws

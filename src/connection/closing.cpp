#include "operations.h"

namespace qws {

int CloseConnection(ConnectionRecord& record) {
  ++record.generation;
  // close_notify goes behind what is left of the data; a socket that takes
  // neither now is closed all the same.
  if (record.tls) {
    platform::TlsCloseNotify(*record.tls, record.tlsOutgoing);
    int32_t ignored = kNoError;
    FlushSecure(record, ignored);
  }
  ReleaseSecure(record);
  const bool serverRole = record.clientMode != kClientRole;
  if (serverRole) Shutdown(record.acceptedSocket);
  Shutdown(record.mainSocket);
  if (serverRole) Close(record.acceptedSocket);
  Close(record.mainSocket);
  platform::Sockets().cancelBlockingCall();
  const int result = ReleaseWinsock(record);
  record.mainSocket = SocketHandle{};
  record.carryLength = 0;
  record.state = ConnectionState::kNone;
  record.greeting.clear();
  record.lastError = result == 0 ? kNoError : kNotStarted;
  return result;
}

}  // namespace qws

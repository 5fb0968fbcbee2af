#include "operations.h"

namespace qws {

int CloseConnection(ConnectionRecord& record) {
  const bool serverRole = record.clientMode != kClientRole;
  if (serverRole) Shutdown(record.acceptedSocket);
  Shutdown(record.mainSocket);
  if (serverRole) Close(record.acceptedSocket);
  Close(record.mainSocket);
  platform::Sockets().cancelBlockingCall();
  const int result = ReleaseWinsock(record);
  record.mainSocket = SocketHandle{};
  record.carryLength = 0;
  return result;
}

}  // namespace qws

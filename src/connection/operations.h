// The connection operations, on the calling thread's record. The exports in
// boundary/ convert arguments and results; these do the work.
#pragma once

#include <cstdint>
#include <string>

#include "connection_record.h"

namespace qws {

bool ConnectToServer(ConnectionRecord& record, const std::string& host, int16_t port);
int SendText(ConnectionRecord& record, const std::u16string& text);
int CloseConnection(ConnectionRecord& record);
bool StartListening(ConnectionRecord& record, int16_t port);
bool AcceptWaitingPeer(ConnectionRecord& record);

}  // namespace qws

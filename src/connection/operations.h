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
int SendBytes(ConnectionRecord& record, const std::string& bytes);
// How many bytes the pass left at the start of `record.byteArea`.
size_t ReceiveBytesPass(ConnectionRecord& record);
ConnectionState CurrentState(ConnectionRecord& record);
// A short English description of an error number.
std::u16string ErrorText(int32_t code);

}  // namespace qws

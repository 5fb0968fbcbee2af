#include <climits>

#include "operations.h"

namespace qws {

// One send of every byte (a count of characters would cut multi-byte text
// short); a send that fails for more than a full buffer fails the connection.
int SendOnce(ConnectionRecord& record, const std::string& bytes) {
  const int count = bytes.size() > INT_MAX ? INT_MAX : static_cast<int>(bytes.size());
  int32_t error = kNoError;
  const int sent = SendData(record, bytes.data(), count, error);
  // A failed connection keeps the reason it failed for.
  if (record.state != ConnectionState::kFailed) record.lastError = error;
  if (sent < 0 && !OnlyWouldBlock(error) && record.state == ConnectionState::kConnected) {
    record.state = ConnectionState::kFailed;
  }
  PumpMessages(record);
  return sent;
}

int SendText(ConnectionRecord& record, const std::u16string& text) {
  Delay(kBeforeSendPause);
  const std::string bytes = platform::WideToAnsi(text.data(), text.size());
  if (bytes.empty()) return 0;
  return SendOnce(record, bytes);
}

// Bytes go out as they are: no conversion and no pause.
int SendBytes(ConnectionRecord& record, const std::string& bytes) {
  if (bytes.empty()) return 0;
  return SendOnce(record, bytes);
}

}  // namespace qws

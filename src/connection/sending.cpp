#include <climits>

#include "operations.h"

namespace qws {

int SendText(ConnectionRecord& record, const std::u16string& text) {
  Delay(kBeforeSendPause);
  const std::string bytes = platform::WideToAnsi(text.data(), text.size());
  if (bytes.empty()) return 0;

  // Every byte of the text goes to the one send: a count of characters would cut
  // multi-byte text short.
  const int count = bytes.size() > INT_MAX ? INT_MAX : static_cast<int>(bytes.size());
  const int sent = Send(ActiveSocket(record), bytes.data(), count);
  PumpMessages();
  return sent;
}

}  // namespace qws

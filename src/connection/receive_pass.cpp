#include <cstring>

#include "connection_record.h"

namespace qws {
namespace {

constexpr char16_t kRemoteDisconnect[] = u"Remote Disconnect";

struct Received {
  int count;  // what recv returned, or the held-back bytes delivered at a close
  std::u16string text;
  std::string bytes;         // what `text` was made from
  int32_t error = kNoError;  // when it failed
  bool endOfStream = false;  // the peer closed behind the bytes of this pass
};

// One recv of at most kReceiveSize bytes. Exactly the received bytes are
// converted; a character cut off at the end waits in the record for its
// remaining bytes, which the next pass puts behind it. When the peer closes
// instead, the bytes held back are this pass's text, converted as the code page
// converts an unfinished character, and the next pass reports the close.
Received ReceiveOnce(ConnectionRecord& record) {
  char area[kMaxCarry + kReceiveSize];
  const size_t carried = static_cast<size_t>(record.carryLength);
  std::memcpy(area, record.carry, carried);
  int32_t error = kNoError;
  const int n = ReceiveData(record, area + carried, kReceiveSize, error);
  if (n == 0 && carried > 0) {
    record.carryLength = 0;
    return {static_cast<int>(carried), platform::AnsiToWide(area, carried),
            std::string(area, carried), kNoError, true};
  }
  if (n < 0) return {n, {}, {}, error};
  if (n == 0) return {n, {}, {}};

  const size_t total = carried + static_cast<size_t>(n);
  const size_t tail = platform::IncompleteAnsiTail(area, total);
  std::memcpy(record.carry, area + total - tail, tail);
  record.carryLength = static_cast<int>(tail);
  return {n, platform::AnsiToWide(area, total - tail), std::string(area, total - tail)};
}

}  // namespace

const std::u16string& ReceivePass(ConnectionRecord& record) {
  const PassScope pass(record);
  PumpMessages(record);
  // Nested inside another pass or an accept poll: nothing is received.
  if (record.ready == kFalse) return record.lastData;

  record.ready = kFalse;
  record.lastData.clear();
  Received received = ReceiveOnce(record);
  NoteReceive(record, received.endOfStream ? 0 : received.count, received.error);
  PumpMessages(record);
  if (received.count > 0) {
    record.lastData = std::move(received.text);
    record.lastBytes = std::move(received.bytes);
  }
  if (received.count == 0) {
    Delay(kPeerClosedPause);
    record.ready = kTrue;
    record.lastData = kRemoteDisconnect;
    record.lastBytes.clear();
  }
  PumpMessages(record);
  record.ready = kTrue;
  // A call nested in the last pump may have replaced the text.
  return record.lastData;
}

// Only received text is a greeting, not the report of a close.
void TakeGreeting(ConnectionRecord& record) {
  const std::u16string& text = ReceivePass(record);
  const bool received = record.state != ConnectionState::kClosedByPeer;
  record.greeting = received ? text : std::u16string();
  // The bytes are those of the pass that left the text (none: they may be older).
  record.greetingBytes = received && !text.empty() ? record.lastBytes : std::string();
}

}  // namespace qws

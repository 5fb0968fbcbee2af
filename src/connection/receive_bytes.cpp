#include <cstring>

#include "operations.h"

namespace qws {

// A receive pass for bytes: the text pass's pumping points and guard, up to
// kBytesReceiveSize bytes and no conversion. Bytes that the text pass holds back
// for an unfinished character come first, so that the two passes can be mixed.
// A close is an empty result here; StateTCP tells it from nothing. The bytes are
// left at the start of the record's byte area, which no nested pass touches.
size_t ReceiveBytesPass(ConnectionRecord& record) {
  const PassScope pass(record);
  PumpMessages(record);
  if (record.ready == kFalse) return 0;  // nested inside another pass or a poll

  record.ready = kFalse;
  std::string& area = record.byteArea;
  area.resize(kMaxCarry + kBytesReceiveSize);
  const size_t carried = static_cast<size_t>(record.carryLength);
  std::memcpy(area.data(), record.carry, carried);
  record.carryLength = 0;
  int32_t error = kNoError;
  const int n = ReceiveData(record, area.data() + carried, kBytesReceiveSize, error);
  NoteReceive(record, n, error);
  // The text pass's second and third pump points: here nothing lies between them.
  PumpMessages(record);
  PumpMessages(record);
  record.ready = kTrue;
  return carried + static_cast<size_t>(n > 0 ? n : 0);
}

}  // namespace qws

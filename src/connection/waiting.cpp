#include <algorithm>
#include <chrono>

#include "operations.h"

namespace qws {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kTlsRecordHeader = 5;  // type, version, and the length in two bytes

// Whether the bytes that arrived begin with a record that is whole: the next pass
// decrypts it without reading the socket.
bool HoldsWholeRecord(const std::string& incoming) {
  if (incoming.size() < kTlsRecordHeader) return false;
  const size_t length =
      (static_cast<unsigned char>(incoming[3]) << 8) | static_cast<unsigned char>(incoming[4]);
  return incoming.size() >= kTlsRecordHeader + length;
}

// What the library itself holds for the next pass, which no socket shows:
// decrypted bytes, whole records, or the secure session's end. Bytes held back
// for an unfinished character are not enough; the rest of it, or the end, shows.
bool HoldsForHost(const ConnectionRecord& record) {
  return record.tls != nullptr && (!record.tlsPlaintext.empty() || record.tlsPeerClosed ||
                                   HoldsWholeRecord(record.tlsIncoming));
}

// A slot that a pass, a poll or a handshake is using now is left to it: a wait
// nested in its pump points would otherwise report what that pass will take.
bool InUse(const ConnectionRecord& record) {
  return record.ready == kFalse || record.accepting || record.tlsHandshaking;
}

// The sockets that tell what the slot's next calls would find: a listener's for
// a waiting peer and its accepted peer's, or the connection's own.
void Watch(ThreadShare& thread, int16_t slot, ConnectionRecord& record) {
  auto add = [&](SocketHandle& handle) {
    if (!handle.open()) return;
    thread.pollEntries.push_back({handle.value, handle.watched, false});
    thread.watched.push_back({slot, &record, &handle});
  };
  add(record.mainSocket);
  if (record.clientMode == kServerRole) add(record.acceptedSocket);
}

// A secure socket may bring records without data (a session's tickets after the
// handshake): what arrived is read and decrypted now, as the next pass would do
// first, so that only data, the end or a failure make the slot ready. Nothing is
// taken: the plaintext waits in the record for the pass.
bool SecureNeedsHost(ConnectionRecord& record) {
  int32_t error = kNoError;
  char none = 0;
  const int n = ReceiveData(record, &none, 0, error);
  return HoldsForHost(record) || (n < 0 && !OnlyWouldBlock(error));
}

// The first ready slot after the one returned last, so that one busy slot
// starves none.
int32_t NextInTurn(ThreadShare& thread) {
  if (thread.readySlots.empty()) return -1;
  auto turn = [&](int16_t slot) {
    return (slot - thread.lastWaited - 1 + kSlotCount) % kSlotCount;
  };
  const int16_t next = *std::min_element(thread.readySlots.begin(), thread.readySlots.end(),
                                         [&](int16_t a, int16_t b) { return turn(a) < turn(b); });
  thread.lastWaited = next;
  return next;
}

// One look at every slot of the thread, waiting up to `milliseconds` for one of
// their sockets: one system call for all of them. -2 when the look failed.
int32_t LookOnce(ThreadShare& thread, int32_t milliseconds, int32_t& error) {
  thread.pollEntries.clear();
  thread.watched.clear();
  thread.readySlots.clear();
  const auto& records = ThisThreadRecords();
  for (size_t index = 0; index < records.size(); ++index) {
    ConnectionRecord* record = records[index].get();
    if (record == nullptr || InUse(*record)) continue;
    const auto slot = static_cast<int16_t>(index);
    if (HoldsForHost(*record)) thread.readySlots.push_back(slot);
    Watch(thread, slot, *record);
  }
  // What the library holds is ready now: the sockets are only looked at.
  if (!thread.readySlots.empty()) milliseconds = 0;

  const int ready =
      platform::Sockets().poll(thread.wait, thread.pollEntries.data(),
                               static_cast<int>(thread.pollEntries.size()), milliseconds);
  if (ready < 0) {
    error = LayerError();
    return -2;
  }
  for (size_t i = 0; i < thread.watched.size(); ++i) {
    thread.watched[i].handle->watched = thread.pollEntries[i].watched;
    const WatchedSocket& socket = thread.watched[i];
    if (!thread.pollEntries[i].readable) continue;
    if (socket.record->tls == nullptr || SecureNeedsHost(*socket.record)) {
      thread.readySlots.push_back(socket.slot);
    }
  }
  return NextInTurn(thread);
}

int32_t MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int32_t>(std::max<decltype(left)>(left, 0));
}

}  // namespace

int32_t WaitForSlot(int32_t milliseconds) {
  if (milliseconds < 0) {
    ThisThreadRecord().lastError = kInvalidArgument;
    return -1;
  }
  ThreadShare& thread = ThisThreadShare();
  // Nested in host code at a pump point: the wait around it goes on after it.
  if (thread.pumpDepth > 0) milliseconds = 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  const int32_t slice = platform::PumpSlice();
  for (;;) {
    int32_t left = MillisecondsUntil(deadline);
    if (slice != platform::kUnslicedWait) left = std::min(left, slice);
    int32_t error = kNoError;
    const int32_t slot = LookOnce(thread, left, error);
    if (slot == -2) {
      ThisThreadRecord().lastError = error;
      return -1;
    }
    if (slot >= 0 || milliseconds == 0 || Clock::now() >= deadline) return slot;
    // The look ended for a message, or for the pump's turn: host code may run and
    // change any slot, so the next look starts afresh.
    PumpMessages(thread);
  }
}

}  // namespace qws

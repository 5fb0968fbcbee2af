#include <memory>
#include <new>
#include <vector>

#include "connection/connection_record.h"

namespace qws {
namespace {

// A thread's slots. A record is made at its slot's first use, so that a slot never
// used costs no more than its place in `records`, which grows only as far as the
// highest slot used.
struct ThreadSlots {
  ThreadShare share;
  std::vector<std::unique_ptr<ConnectionRecord>> records;

  ConnectionRecord& Record(int16_t slot) {
    const auto index = static_cast<size_t>(slot);
    if (index >= records.size()) records.resize(index + 1);
    if (!records[index]) {
      records[index] = std::make_unique<ConnectionRecord>();
      records[index]->thread = &share;
    }
    return *records[index];
  }
};

// Records released while the library unloads close their sockets without waiting
// for the peers and give no start back: neither may happen under the loader lock.
// Each record closes its own connection, slot after slot, all within one bound.
void ReleaseSlots(void* value, bool unloading) {
  auto* slots = static_cast<ThreadSlots*>(value);
  slots->share.closedBy =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseLingerLimit);
  if (unloading) {
    for (auto& record : slots->records) {
      if (!record) continue;
      record->holdsStart = false;
      record->closeWithoutWaiting = true;
    }
  }
  delete slots;
}

// The slots are kept in the platform's per-thread storage, which releases them
// when the thread ends.
ThreadSlots& NewThreadSlots() {
  auto slots = std::make_unique<ThreadSlots>();
  // Nowhere to keep them: the export fails as it does when memory runs out.
  if (!platform::SetThreadValue(slots.get(), ReleaseSlots)) throw std::bad_alloc();
  return *slots.release();
}

ThreadSlots& ThisThreadSlots() {
  if (void* value = platform::ThreadValue()) return *static_cast<ThreadSlots*>(value);
  return NewThreadSlots();
}

}  // namespace

ConnectionRecord& ThisThreadRecord() {
  ThreadSlots& slots = ThisThreadSlots();
  if (slots.share.current == nullptr) slots.share.current = &slots.Record(slots.share.selected);
  return *slots.share.current;
}

ConnectionRecord& ThisThreadSlot(int16_t slot) { return ThisThreadSlots().Record(slot); }

const std::vector<std::unique_ptr<ConnectionRecord>>& ThisThreadRecords() {
  return ThisThreadSlots().records;
}

ThreadShare& ThisThreadShare() { return ThisThreadSlots().share; }

int32_t SelectSlot(int16_t slot) {
  if (slot < 0 || slot >= kSlotCount) return -1;
  ThreadSlots& slots = ThisThreadSlots();
  const int16_t before = slots.share.selected;
  const auto index = static_cast<size_t>(slot);
  slots.share.selected = slot;
  slots.share.current = index < slots.records.size() ? slots.records[index].get() : nullptr;
  return before;
}

}  // namespace qws

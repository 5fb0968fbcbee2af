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
// Each record closes its own connection, slot after slot.
void ReleaseSlots(void* value, bool unloading) {
  auto* slots = static_cast<ThreadSlots*>(value);
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
ThreadSlots& ThisThreadSlots() {
  if (void* value = platform::ThreadValue()) return *static_cast<ThreadSlots*>(value);
  auto slots = std::make_unique<ThreadSlots>();
  // Nowhere to keep them: the export fails as it does when memory runs out.
  if (!platform::SetThreadValue(slots.get(), ReleaseSlots)) throw std::bad_alloc();
  return *slots.release();
}

}  // namespace

ConnectionRecord& ThisThreadRecord() {
  ThreadSlots& slots = ThisThreadSlots();
  return slots.Record(slots.share.selected);
}

ConnectionRecord& ThisThreadSlot(int16_t slot) { return ThisThreadSlots().Record(slot); }

int32_t SelectSlot(int16_t slot) {
  if (slot < 0 || slot >= kSlotCount) return -1;
  ThreadShare& share = ThisThreadSlots().share;
  const int16_t before = share.selected;
  share.selected = slot;
  return before;
}

}  // namespace qws

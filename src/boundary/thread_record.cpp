#include <memory>
#include <new>

#include "connection/connection_record.h"

namespace qws {
namespace {

// A record released while the library unloads closes its sockets without waiting
// for the peers and gives no start back: neither may happen under the loader lock.
void ReleaseRecord(void* value, bool unloading) {
  auto* record = static_cast<ConnectionRecord*>(value);
  if (unloading) {
    record->holdsStart = false;
    record->closeWithoutWaiting = true;
  }
  delete record;
}

}  // namespace

// Each thread's record is made at its first use and kept in the platform's
// per-thread storage, which releases it when the thread ends.
ConnectionRecord& ThisThreadRecord() {
  if (void* value = platform::ThreadValue()) return *static_cast<ConnectionRecord*>(value);
  auto record = std::make_unique<ConnectionRecord>();
  // Nowhere to keep it: the export fails as it does when memory runs out.
  if (!platform::SetThreadValue(record.get(), ReleaseRecord)) throw std::bad_alloc();
  return *record.release();
}

}  // namespace qws

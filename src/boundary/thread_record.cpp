#include "connection/connection_record.h"

namespace qws {

// thread_local gives each thread its own zero-filled record at first use and
// destroys it, closing what it still holds, when the thread ends.
ConnectionRecord& ThisThreadRecord() {
  thread_local ConnectionRecord record;
  return record;
}

}  // namespace qws

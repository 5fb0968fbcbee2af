#include "operations.h"

namespace qws {

// The roots are the process's, not the thread's: only the error is this record's.
int32_t TrustCertificates(ConnectionRecord& record, const std::u16string& path) {
  int32_t error = kNoError;
  const int32_t added = platform::TrustPemFile(path, error);
  record.lastError = added < 0 ? error : kNoError;
  return added;
}

}  // namespace qws

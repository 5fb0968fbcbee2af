#include "operations.h"

namespace qws {

// A connect still in progress is settled at every look, so that a host that
// polls the state sees it connect or fail.
ConnectionState CurrentState(ConnectionRecord& record) {
  SettleConnecting(record);
  return record.state;
}

}  // namespace qws

#include <chrono>
#include <vector>

#include "operations.h"

namespace qws {
namespace {

using Clock = std::chrono::steady_clock;
using platform::SocketAddress;

// A name's next address is tried when the attempts before it have not connected
// within this time; they go on meanwhile, and the first to connect wins (RFC 8305).
constexpr auto kAttemptDelay = std::chrono::milliseconds(250);
constexpr long kAttemptProbe = 5000;  // us, each look at the newest attempt

// Readable right after connect means bytes are waiting (a server that greets at
// once: connected) or the socket reports a close or an error (failed). Returns
// the error of a failed connection, 0 otherwise.
int32_t FailureAtProbe(const SocketHandle& socket) {
  if (!ProbeReadable(socket, kConnectProbe)) return kNoError;
  char first;
  const int peeked = Recv(socket, &first, 1, platform::kRecvPeek);
  if (peeked > 0) return kNoError;
  const int pending = PendingError(socket);
  if (pending != 0) return pending;
  return peeked < 0 ? FailureError(socket) : kConnectionAborted;
}

bool Fail(ConnectionRecord& record, int32_t error) {
  Close(record.mainSocket);
  record.state = ConnectionState::kFailed;
  record.lastError = error;
  return false;
}

// A connect started on one of a name's addresses.
struct Attempt {
  SocketHandle socket;
  SocketAddress address;
};

// Where an attempt stands: connected, failed (with its error), or still going.
enum class Progress { kGoing, kConnected, kFailed };
Progress Look(const Attempt& attempt, int32_t& error) {
  error = PendingError(attempt.socket);
  if (error != 0) return Progress::kFailed;
  return ProbeWritable(attempt.socket, 0) ? Progress::kConnected : Progress::kGoing;
}

class Attempts {
 public:
  ~Attempts() {
    for (Attempt& attempt : live_) Close(attempt.socket);
  }

  // Starts a connect on `address` with `socket` (opened for its family).
  void Start(SocketHandle socket, const SocketAddress& address) {
    if (!socket.open()) {
      lastError_ = LayerError();
      return;
    }
    if (Connect(socket, address) != 0 && !OnlyWouldBlock(LayerError()) &&
        LayerError() != kInProgress) {
      lastError_ = FailureError(socket);
      Close(socket);
      return;
    }
    live_.push_back({socket, address});
  }

  // Watches the attempts for up to kAttemptDelay: true once one has connected.
  bool Race() {
    const Clock::time_point next = Clock::now() + kAttemptDelay;
    while (!live_.empty() && Clock::now() < next) {
      if (Settle()) return true;
      // Every attempt may have failed by now: the next address is tried at once.
      if (!live_.empty()) ProbeWritable(live_.back().socket, kAttemptProbe);
    }
    return Settle();
  }

  // Drops the attempts that failed; true when one has connected.
  bool Settle() {
    for (size_t i = 0; i < live_.size();) {
      int32_t error = kNoError;
      const Progress progress = Look(live_[i], error);
      if (progress == Progress::kConnected) return true;
      if (progress == Progress::kFailed) {
        lastError_ = error;
        Close(live_[i].socket);
        live_.erase(live_.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
    return false;
  }

  // The attempt that connected, else the oldest still going (a connect in progress
  // counts as made, as with one address); the others close.
  bool TakeWinner(Attempt& winner) {
    if (live_.empty()) return false;
    size_t chosen = 0;
    for (size_t i = 0; i < live_.size(); ++i) {
      int32_t error = kNoError;
      if (Look(live_[i], error) == Progress::kConnected) {
        chosen = i;
        break;
      }
    }
    winner = live_[chosen];
    live_.erase(live_.begin() + static_cast<std::ptrdiff_t>(chosen));
    for (Attempt& other : live_) Close(other.socket);
    live_.clear();
    return true;
  }

  int32_t lastError() const { return lastError_; }

 private:
  std::vector<Attempt> live_;
  int32_t lastError_ = kNoError;
};

// One address: the connect as it always was.
bool ConnectOne(ConnectionRecord& record, const SocketAddress& address) {
  Connect(record.mainSocket, address);
  const int32_t atProbe = FailureAtProbe(record.mainSocket);
  if (atProbe != kNoError) return Fail(record, atProbe);
  Delay(kAfterConnectPause);
  // Winsock reports a refusal where the probe never looks: in the pending error.
  const int pending = PendingError(record.mainSocket);
  if (pending != 0) return Fail(record, pending);
  record.peer = address;
  return true;
}

// Several addresses: each after the attempts before it have had kAttemptDelay, and
// the pause after the connect once the last has started.
bool ConnectFirstOf(ConnectionRecord& record, const std::vector<SocketAddress>& addresses) {
  Attempts attempts;
  for (size_t i = 0; i < addresses.size(); ++i) {
    const SocketHandle socket = i == 0 ? record.mainSocket : OpenStream(addresses[i].family);
    attempts.Start(socket, addresses[i]);
    if (i + 1 < addresses.size() && attempts.Race()) break;
  }
  record.mainSocket = SocketHandle{};  // the attempts own the sockets now
  Delay(kAfterConnectPause);
  attempts.Settle();
  Attempt winner;
  if (!attempts.TakeWinner(winner)) return Fail(record, attempts.lastError());
  record.mainSocket = winner.socket;
  record.peer = winner.address;
  return true;
}

}  // namespace

bool ConnectSocket(ConnectionRecord& record, const std::string& host, int16_t port) {
  StartWinsock(record);
  int32_t error = kNoError;
  const std::vector<SocketAddress> addresses = HostAddresses(host, port, error);
  if (addresses.empty()) return Fail(record, error);
  // Port 0 is no port to connect to: said at once, as a name that names nothing.
  if (port == 0) return Fail(record, kAddressNotAvailable);

  const int32_t socketError = OpenSocket(record, addresses.front().family);
  Delay(kBeforeConnectPause);
  if (!record.mainSocket.open() && addresses.size() == 1) {
    record.state = ConnectionState::kFailed;
    record.lastError = socketError;
    return false;
  }

  const bool connected = addresses.size() == 1 ? ConnectOne(record, addresses.front())
                                               : ConnectFirstOf(record, addresses);
  if (!connected) return false;
  record.local = EndAddress(record.mainSocket, false);
  record.clientMode = kClientRole;
  record.state = ConnectionState::kConnecting;
  record.lastError = kNoError;
  SettleConnecting(record);
  return true;
}

bool ConnectToServer(ConnectionRecord& record, const std::string& host, int16_t port) {
  if (!ConnectSocket(record, host, port)) return false;
  TakeGreeting(record);
  return true;
}

}  // namespace qws

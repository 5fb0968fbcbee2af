#include <chrono>

#include "operations.h"

namespace qws {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDiscardSize = 16384;  // bytes per recv of what is thrown away

struct Linger {
  SocketHandle socket;
  CloseWait wait;
  Clock::time_point deadline;

  bool MayWait() const { return wait != CloseWait::kNone && Clock::now() < deadline; }
};

// One wait for the peer: host code runs first where it may.
void Pause(ConnectionRecord& record, const Linger& linger, bool forRoom) {
  if (linger.wait == CloseWait::kPumping) PumpMessages(record);
  if (forRoom) {
    ProbeWritable(linger.socket, kCloseLingerProbe);
  } else {
    ProbeReadable(linger.socket, kCloseLingerProbe);
  }
}

// What is left of the session's records, close_notify last, while the peer takes
// them: 0 once all went, the failure that stopped them, or kTimedOut at the bound.
int32_t SendRest(ConnectionRecord& record, Linger& linger, std::string& outgoing) {
  while (!outgoing.empty()) {
    const int n = Send(linger.socket, outgoing.data(), static_cast<int>(outgoing.size()));
    if (n > 0) {
      outgoing.erase(0, static_cast<size_t>(n));
      continue;
    }
    const int32_t error = FailureError(linger.socket);
    if (!OnlyWouldBlock(error)) return error;
    if (!linger.MayWait()) return kTimedOut;
    Pause(record, linger, true);
  }
  return kNoError;
}

// Takes and discards what arrives until the peer's end of stream (0), a failure (its
// error) or the bound (kTimedOut).
int32_t DiscardUntilEnd(ConnectionRecord& record, Linger& linger) {
  char sink[kDiscardSize];
  for (;;) {
    const int n = Recv(linger.socket, sink, kDiscardSize);
    if (n == 0) return kNoError;
    if (n < 0) {
      const int32_t error = FailureError(linger.socket);
      if (!OnlyWouldBlock(error)) return error;
      if (!linger.MayWait()) return kTimedOut;
      Pause(record, linger, false);
    } else if (Clock::now() >= linger.deadline) {
      return kTimedOut;  // a peer that keeps sending is given up at the bound too
    }
  }
}

}  // namespace

int32_t CloseGracefully(ConnectionRecord& record, SocketHandle& socket, CloseWait wait) {
  if (!socket.open()) {
    ReleaseSecure(record);
    return kNoError;
  }
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kCloseLingerLimit);
  const Clock::time_point closedBy = record.thread->closedBy;
  if (closedBy != Clock::time_point{} && closedBy < deadline) deadline = closedBy;
  Linger linger{socket, wait, deadline};
  socket.closed = true;  // the record's no more
  std::string outgoing;
  if (record.tls && &socket == &ActiveSocket(record)) {
    platform::TlsCloseNotify(*record.tls, record.tlsOutgoing);
    outgoing = std::move(record.tlsOutgoing);
  }
  ReleaseSecure(record);

  int32_t ended = SendRest(record, linger, outgoing);
  // The peer sees the end behind every byte that went out. A reset that came before
  // fails the end of sending where nothing else reports it any more (Wine).
  const int32_t stopped = StopSending(linger.socket);
  if (ended == kNoError || ended == kTimedOut) {
    const int32_t discarded =
        stopped == kConnectionReset ? stopped : DiscardUntilEnd(record, linger);
    if (ended == kNoError || (discarded != kNoError && discarded != kTimedOut)) ended = discarded;
  }
  // What the peer did not take by the bound stays with the system, which goes on
  // sending it after the close for as long as the peer sends nothing more.
  Close(linger.socket);
  return ended;
}

int CloseConnection(ConnectionRecord& record) {
  const uint32_t generation = ++record.generation;
  // A connection that failed before (a reset that a send or pass reported) keeps
  // saying so: its socket may report only an end of stream by now.
  const int32_t failure = record.state == ConnectionState::kFailed && ActiveSocket(record).open()
                              ? record.lastError
                              : kNoError;
  if (record.clientMode != kClientRole) {
    // The listener first: it has nothing to deliver, and no client waits on it meanwhile.
    Shutdown(record.mainSocket);
    Close(record.mainSocket);
  }
  const int32_t ended = CloseGracefully(record, ActiveSocket(record), CloseWait::kPumping);
  // Host code at the pump points started another connection or closed this one:
  // the record is that call's now.
  if (record.generation != generation) return platform::Sockets().started() ? 0 : kCleanupFailed;

  platform::Sockets().cancelBlockingCall();
  const int result = ReleaseWinsock(record);
  record.mainSocket = SocketHandle{};
  record.carryLength = 0;
  record.state = ConnectionState::kNone;
  record.greeting.clear();
  record.greetingBytes.clear();
  record.local = {};
  record.peer = {};
  // The result stays the socket layer's; the error says whether the peer ended its
  // side behind everything (0) or may not have taken all (10060, or its failure).
  record.lastError = result != 0 ? kNotStarted : failure != kNoError ? failure : ended;
  return result;
}

}  // namespace qws

#include <chrono>

#include "operations.h"

namespace qws {
namespace {

// The bytes of the address that the host text is (4 for IPv4, 16 for IPv6, in
// network order), or none for a name.
std::string AddressBytes(const std::string& host) {
  const HostText read = ReadHostText(host);
  if (read.kind == HostText::kInet) {
    return std::string(reinterpret_cast<const char*>(&read.address.address), 4);
  }
  if (read.kind == HostText::kInet6) {
    return std::string(reinterpret_cast<const char*>(read.address.address6), 16);
  }
  return {};
}

using Clock = std::chrono::steady_clock;

// The session stays the handshake's own until it is verified: a call nested in a
// pump point meanwhile finds no session on the record (its sends wait, see
// SendData), and one that closes the record or starts another connection ends
// this handshake without touching what it left.
struct Handshake {
  ConnectionRecord& record;
  uint32_t generation;
  Clock::time_point deadline;
  platform::TlsSessionPtr session;
  std::string incoming;
  std::string outgoing;

  bool Interrupted() const { return record.generation != generation; }
};

bool FailSecure(ConnectionRecord& record, int32_t error) {
  ReleaseSecure(record);
  Close(record.mainSocket);
  record.ready = kTrue;
  record.state = ConnectionState::kFailed;
  record.lastError = error;
  return false;
}

// Sends the handshake's flight, waiting for room until the deadline.
bool SendFlight(Handshake& h, int32_t& error) {
  while (!h.outgoing.empty()) {
    const int n = Send(h.record.mainSocket, h.outgoing.data(), static_cast<int>(h.outgoing.size()));
    if (n > 0) {
      h.outgoing.erase(0, static_cast<size_t>(n));
      continue;
    }
    error = n < 0 ? FailureError(h.record.mainSocket) : kWouldBlock;
    if (!OnlyWouldBlock(error)) return false;
    if (Clock::now() >= h.deadline) {
      error = kTimedOut;
      return false;
    }
    PumpMessages(h.record);
    if (h.Interrupted()) return false;
    ProbeWritable(h.record.mainSocket, kHandshakeProbe);
  }
  return true;
}

// Waits for the peer's next bytes, pumping between short probes. A peer that
// closes in the middle of the handshake aborts it.
bool ReceiveFlight(Handshake& h, int32_t& error) {
  char block[kTlsReadSize];
  for (;;) {
    PumpMessages(h.record);
    if (h.Interrupted()) return false;
    if (ProbeReadable(h.record.mainSocket, kHandshakeProbe)) {
      const int n = Recv(h.record.mainSocket, block, kTlsReadSize);
      if (n > 0) {
        h.incoming.append(block, static_cast<size_t>(n));
        return true;
      }
      error = n == 0 ? kConnectionAborted : FailureError(h.record.mainSocket);
      if (n == 0 || !OnlyWouldBlock(error)) return false;
    }
    if (Clock::now() >= h.deadline) {
      error = kTimedOut;
      return false;
    }
  }
}

bool RunHandshake(Handshake& h, int32_t& error) {
  for (;;) {
    const platform::TlsStatus status =
        platform::TlsHandshake(*h.session, h.incoming, h.outgoing, error);
    if (status == platform::TlsStatus::kFailed) {
      // The alert that says why, where the stack made one.
      Send(h.record.mainSocket, h.outgoing.data(), static_cast<int>(h.outgoing.size()));
      return false;
    }
    if (!SendFlight(h, error)) return false;
    if (status == platform::TlsStatus::kDone) return true;
    if (!ReceiveFlight(h, error)) return false;
  }
}

}  // namespace

// ConnectTCP's steps, then the handshake within kHandshakeLimit. A TLS server
// seldom greets and its first bytes arrive only with the handshake done, so no
// receive pass follows: the greeting stays empty and the first pass takes them.
bool ConnectSecurely(ConnectionRecord& record, const std::string& host, int16_t port) {
  if (!ConnectSocket(record, host, port)) return false;
  if (record.state == ConnectionState::kFailed) return FailSecure(record, record.lastError);

  Handshake h{record,
              record.generation,
              Clock::now() + std::chrono::milliseconds(kHandshakeLimit),
              nullptr,
              {},
              {}};
  int32_t error = kNoError;
  h.session = platform::NewTlsClient(host, AddressBytes(host), error);
  if (!h.session) return FailSecure(record, error);
  record.ready = kFalse;
  record.tlsHandshaking = true;
  // Not connected until the server is verified, whatever a pump point asks meanwhile.
  record.state = ConnectionState::kConnecting;
  const bool done = RunHandshake(h, error);
  if (h.Interrupted()) return false;
  if (!done) return FailSecure(record, error);

  record.tlsHandshaking = false;
  record.tls = std::move(h.session);
  // Records that came with the server's last flight.
  record.tlsIncoming = std::move(h.incoming);
  record.ready = kTrue;
  record.state = ConnectionState::kConnected;
  record.lastError = kNoError;
  return true;
}

}  // namespace qws

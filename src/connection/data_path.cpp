#include <algorithm>
#include <cstring>

#include "connection_record.h"

namespace qws {
namespace {

int TakePlaintext(ConnectionRecord& record, char* bytes, int count) {
  const size_t taken = std::min(record.tlsPlaintext.size(), static_cast<size_t>(count));
  std::memcpy(bytes, record.tlsPlaintext.data(), taken);
  record.tlsPlaintext.erase(0, taken);
  return static_cast<int>(taken);
}

// Both stacks decrypt whole records only: the plaintext of one may wait here
// while the socket has nothing to read, so it is served before any recv.
int ReceiveSecure(ConnectionRecord& record, char* bytes, int count, int32_t& error) {
  SocketHandle& socket = ActiveSocket(record);
  while (record.tlsPlaintext.empty() && !record.tlsPeerClosed) {
    // Records may have come with the handshake's last flight, or with the last read.
    const platform::TlsStatus status = platform::TlsDecrypt(
        *record.tls, record.tlsIncoming, record.tlsPlaintext, record.tlsOutgoing, error);
    if (status == platform::TlsStatus::kFailed) return -1;
    record.tlsPeerClosed = status == platform::TlsStatus::kClosed;
    int32_t ignored = kNoError;
    FlushSecure(record, ignored);
    if (!record.tlsPlaintext.empty() || record.tlsPeerClosed) break;

    char block[kTlsReadSize];
    const int n = Recv(socket, block, kTlsReadSize);
    if (n < 0) {
      error = FailureError(socket);
      return n;
    }
    if (n == 0) {
      // Only close_notify ends a secure session; an end of stream before it is
      // how an attacker would cut the data short.
      error = platform::kTlsCutShort;
      return -1;
    }
    record.tlsIncoming.append(block, static_cast<size_t>(n));
  }
  error = kNoError;
  // After the peer's close_notify and its last plaintext: an end of stream.
  return TakePlaintext(record, bytes, count);
}

// Records are made a whole plaintext block at a time; a record the socket took
// only in part counts as sent, and its rest goes out before anything else.
int SendSecure(ConnectionRecord& record, const char* bytes, int count, int32_t& error) {
  if (!FlushSecure(record, error)) return -1;
  int sent = 0;
  while (sent < count) {
    const size_t block = std::min(static_cast<size_t>(count - sent), platform::kTlsRecordPlaintext);
    if (!platform::TlsEncrypt(*record.tls, bytes + sent, block, record.tlsOutgoing, error)) {
      if (sent == 0) return -1;
      break;
    }
    sent += static_cast<int>(block);
    if (!FlushSecure(record, error)) {
      if (!OnlyWouldBlock(error)) return -1;
      break;
    }
  }
  error = kNoError;
  return sent;
}

}  // namespace

int ReceiveData(ConnectionRecord& record, char* bytes, int count, int32_t& error) {
  if (record.tls) return ReceiveSecure(record, bytes, count, error);
  SocketHandle& socket = ActiveSocket(record);
  const int n = Recv(socket, bytes, count);
  error = n < 0 ? FailureError(socket) : kNoError;
  return n;
}

int SendData(ConnectionRecord& record, const char* bytes, int count, int32_t& error) {
  if (record.tlsHandshaking) {
    error = kWouldBlock;  // nested in the handshake's pump points: not yet
    return -1;
  }
  if (record.tls) return SendSecure(record, bytes, count, error);
  SocketHandle& socket = ActiveSocket(record);
  const int sent = Send(socket, bytes, count);
  error = sent < 0 ? FailureError(socket) : kNoError;
  return sent;
}

bool FlushSecure(ConnectionRecord& record, int32_t& error) {
  SocketHandle& socket = ActiveSocket(record);
  while (!record.tlsOutgoing.empty()) {
    const int n =
        Send(socket, record.tlsOutgoing.data(), static_cast<int>(record.tlsOutgoing.size()));
    if (n <= 0) {
      error = n < 0 ? FailureError(socket) : kWouldBlock;
      return false;
    }
    record.tlsOutgoing.erase(0, static_cast<size_t>(n));
  }
  error = kNoError;
  return true;
}

void ReleaseSecure(ConnectionRecord& record) {
  record.tls.reset();
  record.tlsIncoming.clear();
  record.tlsPlaintext.clear();
  record.tlsOutgoing.clear();
  record.tlsPeerClosed = false;
  record.tlsHandshaking = false;
}

}  // namespace qws

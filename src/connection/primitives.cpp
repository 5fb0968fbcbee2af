#include "connection_record.h"

namespace qws {
namespace {

const platform::SocketApi& Api() { return platform::Sockets(); }

// The socket layer used to reset a thread's sockets whenever any thread restarted
// it; each record now closes its own instead, and other threads' connections live on.
// The connection goes gracefully, the listener of the server role at once.
void CloseOwnSockets(ConnectionRecord& record, CloseWait wait) {
  SocketHandle& connection = ActiveSocket(record);
  SocketHandle& other =
      &connection == &record.mainSocket ? record.acceptedSocket : record.mainSocket;
  Close(other);
  CloseGracefully(record, connection, wait);
}

}  // namespace

ConnectionRecord::~ConnectionRecord() {
  CloseOwnSockets(*this, closeWithoutWaiting ? CloseWait::kNone : CloseWait::kQuiet);
  if (holdsStart) Api().cleanup();
}

void StartWinsock(ConnectionRecord& record) {
  const uint32_t generation = ++record.generation;
  if (record.holdsStart) {
    CloseOwnSockets(record, CloseWait::kPumping);
    // This start goes on: whatever host code at the close's pump points started
    // is ended again.
    if (record.generation != generation) {
      Close(record.acceptedSocket);
      Close(record.mainSocket);
    }
  }
  ReleaseSecure(record);
  record.ready = kTrue;
  record.carryLength = 0;
  record.greeting.clear();
  record.greetingBytes.clear();
  record.local = {};
  record.peer = {};
  if (!record.holdsStart) record.holdsStart = Api().startup(&record.wsaData) == 0;
}

// A record gives back only the start it holds itself. Without one, it reports
// what the socket layer's cleanup would have said, without taking a start that
// the host or another thread holds.
int ReleaseWinsock(ConnectionRecord& record) {
  if (!record.holdsStart) return Api().started() ? 0 : kCleanupFailed;
  record.holdsStart = false;
  return Api().cleanup();
}

SocketHandle OpenStream(int16_t family) {
  SocketHandle socket{Api().socket(family), false};
  if (socket.open()) Api().setNonBlocking(socket.value);
  return socket;
}

// The host, or a record that held none of its own, may have given back every
// start in the process since this record took its own: then the socket fails,
// and one fresh start lets it succeed. The error is taken before anything else
// asks the layer, which would overwrite it.
int32_t OpenSocket(ConnectionRecord& record, int16_t family) {
  record.mainSocket = OpenStream(family);
  if (record.mainSocket.open()) return kNoError;
  int32_t error = LayerError();
  if (record.holdsStart && !Api().started()) {
    record.holdsStart = Api().startup(&record.wsaData) == 0;
    if (record.holdsStart) record.mainSocket = OpenStream(family);
    error = record.mainSocket.open() ? kNoError : LayerError();
  }
  return record.mainSocket.open() ? kNoError : error != kNoError ? error : kNotASocket;
}

SocketHandle& ActiveSocket(ConnectionRecord& record) {
  return record.clientMode == kClientRole ? record.mainSocket : record.acceptedSocket;
}

bool ProbeReadable(const SocketHandle& socket, long microseconds) {
  return socket.open() && Api().selectRead(socket.value, microseconds) > 0;
}

bool ProbeWritable(const SocketHandle& socket, long microseconds) {
  return socket.open() && Api().selectWrite(socket.value, microseconds) > 0;
}

void Delay(int32_t milliseconds) { Api().delay(milliseconds); }

// A text with a NUL in it would reach the resolver cut short, naming another
// host than the caller did: it resolves to nothing.
int AllowAddressReuse(const SocketHandle& socket) {
  return socket.open() ? Api().allowAddressReuse(socket.value) : -1;
}

int Bind(const SocketHandle& socket, const platform::SocketAddress& address) {
  return socket.open() ? Api().bind(socket.value, &address) : -1;
}

int Listen(const SocketHandle& socket, int backlog) {
  return socket.open() ? Api().listen(socket.value, backlog) : -1;
}

int Connect(const SocketHandle& socket, const platform::SocketAddress& address) {
  return socket.open() ? Api().connect(socket.value, &address) : -1;
}

int Send(const SocketHandle& socket, const char* bytes, int count) {
  return socket.open() ? Api().send(socket.value, bytes, count) : -1;
}

int Recv(const SocketHandle& socket, char* bytes, int count, int flags) {
  return socket.open() ? Api().recv(socket.value, bytes, count, flags) : -1;
}

int PendingError(const SocketHandle& socket) {
  return socket.open() ? Api().pendingError(socket.value) : -1;
}

void Shutdown(const SocketHandle& socket) {
  if (socket.open()) Api().shutdown(socket.value, platform::kShutdownBoth);
}

int32_t StopSending(const SocketHandle& socket) {
  if (!socket.open()) return kNoError;
  return Api().shutdown(socket.value, platform::kShutdownSend) == 0 ? kNoError : LayerError();
}

void Close(SocketHandle& socket) {
  if (!socket.open()) return;
  Api().closesocket(socket.value);
  socket.closed = true;
}

SocketHandle Accept(const SocketHandle& listening) {
  if (!listening.open()) return {platform::kInvalidSocket, false};
  return {Api().accept(listening.value), false};
}

int32_t LayerError() { return Api().lastError(); }

int32_t FailureError(const SocketHandle& socket) {
  return socket.open() ? LayerError() : kNotASocket;
}

bool OnlyWouldBlock(int32_t error) { return error == kWouldBlock || error == kNoError; }

// Writable means connected; a failed connect shows in the pending error first.
void SettleConnecting(ConnectionRecord& record) {
  // A secure connection is connected once its handshake has verified the server.
  if (record.state != ConnectionState::kConnecting || record.tlsHandshaking) return;
  const int pending = PendingError(record.mainSocket);
  if (pending != 0) {
    record.state = ConnectionState::kFailed;
    record.lastError = pending;
  } else if (record.mainSocket.open() && Api().selectWrite(record.mainSocket.value, 0) > 0) {
    record.state = ConnectionState::kConnected;
  }
}

// Nothing to take is no failure; other errors fail a connection that was made or
// being made. A record without one (closed, never started) keeps its state. A
// failed connection keeps its state and its reason until the host starts another
// or closes it: after a reset the socket goes on to report an end of stream (Wine
// reports a reset so at once), which says nothing new.
void NoteReceive(ConnectionRecord& record, int n, int32_t error) {
  if (record.state == ConnectionState::kFailed) return;
  if (n > 0) {
    if (record.state == ConnectionState::kConnecting) record.state = ConnectionState::kConnected;
    record.lastError = kNoError;
  } else if (n == 0) {
    record.state = ConnectionState::kClosedByPeer;
    record.lastError = kNoError;
  } else if (record.state == ConnectionState::kConnecting) {
    SettleConnecting(record);
  } else if (OnlyWouldBlock(error)) {
    record.lastError = kNoError;
  } else {
    record.lastError = error;
    if (record.state == ConnectionState::kConnected) record.state = ConnectionState::kFailed;
  }
}

}  // namespace qws

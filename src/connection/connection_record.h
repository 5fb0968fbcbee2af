// The connection records of a thread and the primitives every operation is built
// from. Each exported operation looks up the record of its thread's selected slot
// and works on that record alone, to its end.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/tls.h"

namespace qws {

using platform::Socket;

constexpr int16_t kTrue = -1;
constexpr int16_t kFalse = 0;
inline int16_t ToBool16(bool value) { return value ? kTrue : kFalse; }

// Pauses, probe times, sizes and backlogs.
constexpr int32_t kBeforeConnectPause = 300;  // ms, between socket and connect
constexpr int32_t kAfterConnectPause = 500;   // ms, before the first receive pass
constexpr long kConnectProbe = 200;           // us
constexpr int32_t kBeforeSendPause = 100;     // ms
constexpr int32_t kPeerClosedPause = 100;     // ms, on every pass that sees the close
constexpr long kAcceptProbe = 100;            // us
constexpr int32_t kAcceptWaitStep = 20;       // ms
constexpr int32_t kAcceptWaitLimit = 1000;    // ms, before a vanished peer is given up
constexpr int32_t kAfterAcceptPause = 100;    // ms
constexpr int32_t kAcceptSettlePause = 500;   // ms
constexpr int kMaxPumpNesting = 8;            // pump points nested in host code that a pass ran
constexpr int16_t kSlotCount = 1024;          // a thread's slots are 0 to 1023
// The system's full backlog (Windows Sockets 2's SOMAXCONN; Linux cuts it to its own
// maximum), set once and never shrunk: a client beyond a short backlog has its last
// handshake packet dropped while its connect succeeds and its data is sent.
constexpr int kListenBacklog = 0x7fffffff;
constexpr int kReceiveSize = 64;          // bytes per pass
constexpr int kBytesReceiveSize = 65536;  // bytes per pass of the byte receive
constexpr int kCleanupFailed = -1;        // what the socket layer's cleanup says with no start held
constexpr int16_t kClientRole = 1;
constexpr int16_t kServerRole = 0;
constexpr int32_t kHandshakeLimit = 10000;  // ms, for the whole TLS handshake
constexpr long kHandshakeProbe = 10000;     // us, each wait for the peer's next flight
constexpr int kTlsReadSize = 16384 + 2048;  // bytes per recv: about one whole record
// A close waits this long at most for the peer to take what was sent and to end its
// side: a real peer on a slow network may take a second or more to read.
constexpr int32_t kCloseLingerLimit = 3000;  // ms
constexpr long kCloseLingerProbe = 10000;    // us, each wait for the peer

// Longest unfinished multi-byte character a pass may hold back for the next one.
constexpr int kMaxCarry = 3;

// Error numbers, in Windows Sockets numbering on every platform.
constexpr int32_t kNoError = 0;
constexpr int32_t kInvalidArgument = 10022;      // WSAEINVAL
constexpr int32_t kWouldBlock = 10035;           // WSAEWOULDBLOCK: nothing to take yet
constexpr int32_t kInProgress = 10036;           // WSAEINPROGRESS: how Linux says a connect goes on
constexpr int32_t kAddressNotAvailable = 10049;  // WSAEADDRNOTAVAIL
constexpr int32_t kProtocolNotSupported = 10043;  // WSAEPROTONOSUPPORT
constexpr int32_t kFamilyNotSupported = 10047;    // WSAEAFNOSUPPORT
constexpr int32_t kNotASocket = 10038;            // WSAENOTSOCK: no socket, or a closed one
constexpr int32_t kConnectionAborted = 10053;     // WSAECONNABORTED
constexpr int32_t kConnectionReset = 10054;       // WSAECONNRESET
constexpr int32_t kNoDescriptor = 10024;          // WSAEMFILE: no descriptor left
constexpr int32_t kNoBufferSpace = 10055;         // WSAENOBUFS: how Windows may say the same
constexpr int32_t kTimedOut = 10060;              // WSAETIMEDOUT
constexpr int32_t kNotStarted = 10093;            // WSANOTINITIALISED
constexpr int32_t kHostNotFound = 11001;          // WSAHOST_NOT_FOUND

// What StateTCP reports.
enum class ConnectionState : int32_t {
  kNone = 0,
  kListening = 1,
  kConnecting = 2,  // started; whether it succeeds is not known yet
  kConnected = 3,
  kClosedByPeer = 4,
  kFailed = 5,  // refused, reset, unreachable
};

// A handle with what the record knows of it: 0 and -1 are no socket at all, and
// a handle once given to closesocket stays closed even while the record still
// holds its value. No socket call is ever made on such a handle.
struct SocketHandle {
  Socket value = 0;
  bool closed = false;

  bool open() const { return value != 0 && value != platform::kInvalidSocket && !closed; }
  // Registered with its thread's wait; a new socket is not yet.
  bool watched = false;
};

struct ConnectionRecord;

// A socket that a wait looks at, and the slot it tells about.
struct WatchedSocket {
  int16_t slot;
  ConnectionRecord* record;
  SocketHandle* handle;
};

// What the records of one thread share.
struct ThreadShare {
  int16_t selected = 0;  // the slot that the exports act on
  // Its record once made, so that the exports find it without a lookup.
  ConnectionRecord* current = nullptr;
  // Pump points open on this thread, over all its slots: the bound is the stack's.
  int pumpDepth = 0;
  // At the thread's end every slot's close ends by then, so that peers which never
  // end their side hold the thread for one bound, not one each.
  std::chrono::steady_clock::time_point closedBy{};
  // The slot that the last wait returned: the next one searches from the slot after it.
  int16_t lastWaited = -1;
  platform::ThreadWait wait;
  // A look's lists, kept from look to look so that an idle look allocates nothing.
  std::vector<platform::PollEntry> pollEntries;
  std::vector<WatchedSocket> watched;
  std::vector<int16_t> readySlots;
};

struct ConnectionRecord {
  platform::StartupData wsaData{};
  SocketHandle mainSocket;      // listening socket (server) or connected socket (client)
  SocketHandle acceptedSocket;  // the peer's socket in the server role
  // The two ends' addresses from the connection's start until CloseTCP, so that they
  // outlive the peer: a listener's own is where it listens, its peer the one it accepted.
  platform::SocketAddress local;
  platform::SocketAddress peer;
  int16_t ready = kFalse;  // a receive pass or accept poll may run
  std::u16string lastData;
  int16_t clientMode = kServerRole;

  // Whether this record holds one of the process-wide socket-layer starts.
  bool holdsStart = false;
  ConnectionState state = ConnectionState::kNone;
  int32_t lastError = kNoError;  // of the last failed operation; 0 after a success
  // What the last connection start's own receive pass took, and its bytes.
  std::u16string greeting;
  std::string greetingBytes;
  // The bytes that the text of the last pass that received any was made from.
  std::string lastBytes;
  // The byte receive's area, kept from pass to pass.
  std::string byteArea;
  // Leading bytes of a character whose remaining bytes have not arrived yet.
  char carry[kMaxCarry] = {};
  int carryLength = 0;
  // A secure connection's session, with its bytes in flight: records received
  // but not whole yet, plaintext not taken yet, and records not fully sent yet.
  platform::TlsSessionPtr tls;
  std::string tlsIncoming;
  std::string tlsPlaintext;
  std::string tlsOutgoing;
  bool tlsPeerClosed = false;   // its close_notify arrived
  bool tlsHandshaking = false;  // ConnectTLS runs its handshake: sends wait
  bool accepting = false;       // an accept poll runs, its greeting pass too
  int passes = 0;               // receive passes running on the record, from their first pump
  // Counts connection starts and closes: an operation that pumps can tell that a
  // call nested in its pump points has ended its connection.
  uint32_t generation = 0;
  // Released while the library unloads, under the loader lock: nothing may wait.
  bool closeWithoutWaiting = false;
  // A record outside a thread's slots (a test's own) shares with nothing else.
  ThreadShare ownShare;
  ThreadShare* thread = &ownShare;

  ConnectionRecord() = default;
  ConnectionRecord(const ConnectionRecord&) = delete;
  ConnectionRecord& operator=(const ConnectionRecord&) = delete;
  ~ConnectionRecord();
};

// Counts a receive pass on the record from its first pump point to its end: the
// peer is not to be handed off from under it.
class PassScope {
 public:
  explicit PassScope(ConnectionRecord& record) : record_(record) { ++record_.passes; }
  ~PassScope() { --record_.passes; }
  PassScope(const PassScope&) = delete;
  PassScope& operator=(const PassScope&) = delete;

 private:
  ConnectionRecord& record_;
};

// The record of the calling thread's selected slot, made at the slot's first use;
// all of a thread's records are released, with any socket they hold, when it ends.
ConnectionRecord& ThisThreadRecord();
// The record of one of the calling thread's slots (0 to kSlotCount - 1).
ConnectionRecord& ThisThreadSlot(int16_t slot);
// Selects the slot that the exports act on; the slot selected before, or -1 for a
// slot out of range, which changes nothing.
int32_t SelectSlot(int16_t slot);
// The calling thread's records by slot, null where a slot was never used; host
// code that makes records may move them, so nothing is kept across a pump point.
const std::vector<std::unique_ptr<ConnectionRecord>>& ThisThreadRecords();
ThreadShare& ThisThreadShare();

// Connection starts: `ready`, then this record's own start of the socket layer.
void StartWinsock(ConnectionRecord& record);
// Gives back one start of the socket layer and returns what the layer said.
int ReleaseWinsock(ConnectionRecord& record);
// 0, or why no socket could be opened.
int32_t OpenSocket(ConnectionRecord& record, int16_t family = platform::kAddressFamilyInet);
// A stream socket of the family, non-blocking, outside any record.
SocketHandle OpenStream(int16_t family);
SocketHandle& ActiveSocket(ConnectionRecord& record);
bool ProbeReadable(const SocketHandle& socket, long microseconds);
void Delay(int32_t milliseconds);
// A pump point: host code may run and call back into the library, whose pump
// points run host code again: past kMaxPumpNesting a pump point does not pump, so
// that a handler that always calls back cannot nest until the stack runs out.
// A slot that host code selects there is its own business: the thread's selection
// is what it was before. Inline: a receive pass has three of them.
inline void PumpMessages(ThreadShare& thread) {
  if (thread.pumpDepth >= kMaxPumpNesting) return;
  const int16_t selected = thread.selected;
  ConnectionRecord* const current = thread.current;
  ++thread.pumpDepth;
  platform::PumpMessages();
  --thread.pumpDepth;
  thread.selected = selected;
  thread.current = current;
}
inline void PumpMessages(ConnectionRecord& record) { PumpMessages(*record.thread); }

// The socket calls under the closed-handle rule: on a handle that is not open
// they fail (-1) or are skipped without reaching the socket layer.
int AllowAddressReuse(const SocketHandle& socket);
int Bind(const SocketHandle& socket, const platform::SocketAddress& address);
int Listen(const SocketHandle& socket, int backlog);
int Connect(const SocketHandle& socket, const platform::SocketAddress& address);
int Send(const SocketHandle& socket, const char* bytes, int count);
int Recv(const SocketHandle& socket, char* bytes, int count, int flags = 0);
bool ProbeWritable(const SocketHandle& socket, long microseconds);
int PendingError(const SocketHandle& socket);
void Shutdown(const SocketHandle& socket);
// 0, or the error that ended the connection before (a reset, where only this tells it).
int32_t StopSending(const SocketHandle& socket);
void Close(SocketHandle& socket);
SocketHandle Accept(const SocketHandle& listening);

// The error of the socket layer's last failed call on this thread.
int32_t LayerError();
// The error of a socket call that just failed on `socket`: the layer's own, or
// kNotASocket where no call was made (a closed handle, 0 or -1).
int32_t FailureError(const SocketHandle& socket);
// Whether a failed recv or send only found nothing to take or no room.
bool OnlyWouldBlock(int32_t error);
// Settles a connect still in progress: connected, or failed with its error.
void SettleConnecting(ConnectionRecord& record);
// The state after one recv that returned `n`, with `error` when it failed.
void NoteReceive(ConnectionRecord& record, int n, int32_t error);

// The data path of every receive and send: straight to the socket on a plain
// connection, through the session on a secure one. Results as recv and send give
// them, in plaintext bytes, with the reason of a failure in `error`.
int ReceiveData(ConnectionRecord& record, char* bytes, int count, int32_t& error);
int SendData(ConnectionRecord& record, const char* bytes, int count, int32_t& error);
// Sends what is left of the records already made; false with `error` while some remain.
bool FlushSecure(ConnectionRecord& record, int32_t& error);
// Ends the record's session, if any, with everything it held.
void ReleaseSecure(ConnectionRecord& record);

// How a graceful close may wait for the peer.
enum class CloseWait {
  kPumping,  // an operation's wait: host code runs at its pump points
  kQuiet,    // a thread's end: no host code runs any more
  kNone,     // under the loader lock: what has arrived is discarded, nothing more
};
// Ends the connection on `socket` so that everything reported as sent reaches a
// peer that reads it: the secure session's close_notify, then the end of sending,
// then what arrives is taken and discarded until the peer ends its side or
// kCloseLingerLimit passes, and only then the socket is closed (closing with
// unread bytes would reset the connection and discard what is still queued). The
// record lets go of the socket and its session first, so a call nested in a pump
// point meanwhile finds them gone. Returns 0 when the peer ended its side behind
// everything, kTimedOut when the bound came first, or the failure that ended it.
int32_t CloseGracefully(ConnectionRecord& record, SocketHandle& socket, CloseWait wait);

// One receive pass on the record's active socket; returns the text it leaves in
// `lastData`.
const std::u16string& ReceivePass(ConnectionRecord& record);
// The connection start's own receive pass: its text becomes the greeting.
void TakeGreeting(ConnectionRecord& record);

}  // namespace qws

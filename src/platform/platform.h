// The narrow layer under the library: sockets in the shape of Windows Sockets 1.1,
// the host string allocator, text in the ANSI code page, the message pump, pauses
// and marker files. platform_win32.cpp and platform_posix.cpp implement it; nothing
// above this header knows which one it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Quillmar_ws.h"

namespace qws::platform {

// Handles are 32-bit: Winsock handles fit, and descriptors do too.
using Socket = int32_t;
constexpr Socket kInvalidSocket = -1;

// All bits set: what the address functions return when there is no address.
constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

constexpr int16_t kAddressFamilyInet = 2;
constexpr int16_t kAddressFamilyInet6 = 23;  // as Windows numbers it; each platform converts
constexpr int kShutdownSend = 1;
constexpr int kShutdownBoth = 2;
constexpr int kRecvPeek = 2;

// A socket address of either family: port and IPv4 address in network byte order,
// an IPv6 address as its 16 bytes, with its scope (the interface index).
struct SocketAddress {
  int16_t family = 0;
  uint16_t port = 0;
  uint32_t address = 0;
  uint8_t address6[16] = {};
  uint32_t scope = 0;
};

// One socket of a readiness look and what the look found.
struct PollEntry {
  Socket socket = 0;
  // In and out: the socket is registered with its thread's wait (Windows' shared
  // event); a look registers the sockets not registered yet and marks them.
  bool watched = false;
  bool readable = false;  // data, the end of stream, a failure, or a waiting peer
};

// What a thread keeps from one wait to the next: on Windows the event that all of
// its sockets signal. Released with the thread's records.
struct ThreadWait {
  void* event = nullptr;
  ThreadWait() = default;
  ThreadWait(const ThreadWait&) = delete;
  ThreadWait& operator=(const ThreadWait&) = delete;
  ~ThreadWait();
};

// Room for what the socket layer's start call fills in; nobody reads it back.
struct StartupData {
  alignas(8) unsigned char bytes[408];
};

// The socket calls, as a table so that tests can wrap them (count calls, inject
// failures) the way a shim wraps a file system. Results follow Winsock: 0 or a
// count for success, -1 for failure; kInvalidSocket from socket and accept.
struct SocketApi {
  int (*startup)(StartupData* data);  // takes one start of version 1.1
  int (*cleanup)();                   // gives one back; -1 when none is held
  int (*cancelBlockingCall)();
  // A stream socket of the family; an IPv6 one takes IPv4 peers too (IPV6_V6ONLY 0).
  Socket (*socket)(int16_t family);
  int (*setNonBlocking)(Socket s);
  int (*allowAddressReuse)(Socket s);  // where rebinding a waiting port needs leave
  int (*bind)(Socket s, const SocketAddress* address);
  int (*listen)(Socket s, int backlog);
  Socket (*accept)(Socket s);  // non-blocking; the peer's address is not kept
  int (*connect)(Socket s, const SocketAddress* address);
  int (*selectRead)(Socket s, long microseconds);  // ready count, or -1
  int (*pendingError)(Socket s);  // the socket's pending error (SO_ERROR); never waits
  int (*send)(Socket s, const char* bytes, int count);  // never raises a signal
  int (*recv)(Socket s, char* bytes, int count, int flags);
  int (*shutdown)(Socket s, int how);
  int (*closesocket)(Socket s);
  uint32_t (*inetAddr)(const char* text);
  // The resolver: up to `capacity` addresses of both families for a name, in its
  // order; how many, or -1 (11001 when there is no such host).
  int (*resolve)(const char* name, SocketAddress* addresses, int capacity);
  int (*localPort)(Socket s);  // the bound port in host order, or -1
  bool (*started)();           // whether any start is held in the process, by anyone
  int (*selectWrite)(Socket s, long microseconds);  // ready count, or -1
  // The error of the calling thread's last failed call, in Windows Sockets
  // numbering on every platform (10061 refused, 11001 host not found, ...).
  int (*lastError)();
  // The library's fixed pauses go through the table too, so that tests can count
  // them instead of timing them: platform::Delay.
  void (*delay)(int32_t milliseconds);
  // One look at many sockets: how many are readable, each marked; 0 when none is
  // within `milliseconds`, or, where the thread has a message queue, when a message
  // arrives first; -1 for a failure. 0 milliseconds looks and returns at once.
  int (*poll)(ThreadWait& wait, PollEntry* entries, int count, int32_t milliseconds);
  // The 16 bytes of an IPv6 address written as text (no brackets, no scope): 1, or 0
  // for text that is none.
  int (*inetPton6)(const char* text, uint8_t* bytes);
  // The addresses of a socket's two ends: 0, or -1 where it has none.
  int (*localAddress)(Socket s, SocketAddress* address);
  int (*peerAddress)(Socket s, SocketAddress* address);
};

const SocketApi& NativeSockets();
// The table the library calls through.
const SocketApi& Sockets();
// Makes the library call through `api`; null restores the native table.
void UseSockets(const SocketApi* api);

// Host strings: the automation string allocator, or its stand-in.
HostString NewString(const char16_t* units, uint32_t count);
HostString NewStringBytes(const char* bytes, uint32_t count);
uint32_t StringByteLen(HostString s);
void FreeString(HostString s);

// Text in the ANSI code page (UTF-8 where there is no other).
std::u16string AnsiToWide(const char* bytes, size_t count);
std::string WideToAnsi(const char16_t* units, size_t count);
// How many bytes at the end begin a character that is not complete yet.
size_t IncompleteAnsiTail(const char* bytes, size_t count);
// The code page's number as Windows numbers them; 65001 is UTF-8.
uint32_t AnsiCodePage();

// One pass over the calling thread's waiting messages.
void PumpMessages();
// Where there is no message queue, the host installs the pass per thread.
void SetPumpHook(void (*pump)(void* context), void* context);
// How long a wait may go between pump points: kUnslicedWait where the wait itself
// ends when a message arrives (Windows) or the thread has no pump (Linux, no hook).
constexpr int32_t kUnslicedWait = -1;
int32_t PumpSlice();
// A pause that runs nothing; negative values pause not at all, 0 yields.
void Delay(int32_t milliseconds);

// One pointer per thread (per fiber on Windows), null until set. `release`, the
// same on every call, gets it back when its thread ends, with `unloading` set when
// the library is unloaded first: then it runs under the loader lock and must not
// wait. At process exit nothing is released. False when no value can be kept.
using ThreadValueRelease = void (*)(void* value, bool unloading);
void* ThreadValue();
bool SetThreadValue(void* value, ThreadValueRelease release);

// Marker files in the current directory.
bool OrdinaryFileExists(const char* name);
int CreateEmptyFile(const char* name);  // 0, or the error number
int RemoveFile(const char* name);       // 0, or the error number

}  // namespace qws::platform

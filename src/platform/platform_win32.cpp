// The platform layer on Windows: Windows Sockets 1.1 from wsock32, BSTRs from
// oleaut32, the ANSI code page, and the thread's window-message queue.
// winsock.h before windows.h, and windows.h before the rest.
#include <winsock.h>

#include <windows.h>

#include <oleauto.h>

#include <atomic>
#include <cstring>

#include "platform.h"
#include "utf8.h"

namespace qws::platform {
namespace {

static_assert(sizeof(WSADATA) <= sizeof(StartupData), "room for WSADATA");
static_assert(sizeof(wchar_t) == sizeof(char16_t), "BSTR units are 16-bit");

constexpr WORD kVersion11 = MAKEWORD(1, 1);

int Startup(StartupData* data) {
  return WSAStartup(kVersion11, reinterpret_cast<WSADATA*>(data->bytes));
}

int Cleanup() { return WSACleanup(); }

int CancelBlockingCall() { return WSACancelBlockingCall(); }

int LastError() { return WSAGetLastError(); }

// SOCKET is pointer-sized on 64-bit Windows, but its values are small; one that
// would not fit the record's 32 bits is not kept.
Socket Narrow(SOCKET s) {
  if (s == INVALID_SOCKET) return kInvalidSocket;
  if (s > static_cast<SOCKET>(INT32_MAX)) {
    closesocket(s);
    return kInvalidSocket;
  }
  return static_cast<Socket>(s);
}

SOCKET Wide(Socket s) { return static_cast<SOCKET>(static_cast<uint32_t>(s)); }

Socket OpenSocket() { return Narrow(::socket(AF_INET, SOCK_STREAM, 0)); }

int SetNonBlocking(Socket s) {
  u_long on = 1;
  return ioctlsocket(Wide(s), FIONBIO, &on);
}

// SO_REUSEADDR here would let another process bind a port we listen on; a port
// is free again at once without it.
int AllowAddressReuse(Socket) { return 0; }

int Bind(Socket s, const SocketAddress* address) {
  return ::bind(Wide(s), reinterpret_cast<const sockaddr*>(address), sizeof *address);
}

int Listen(Socket s, int backlog) { return ::listen(Wide(s), backlog); }

// Winsock gives the accepted socket the listening socket's non-blocking mode.
Socket Accept(Socket s) {
  sockaddr_in peer{};
  int length = sizeof peer;
  return Narrow(::accept(Wide(s), reinterpret_cast<sockaddr*>(&peer), &length));
}

int Connect(Socket s, const SocketAddress* address) {
  return ::connect(Wide(s), reinterpret_cast<const sockaddr*>(address), sizeof *address);
}

int SelectRead(Socket s, long microseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Wide(s), &readable);
  timeval timeout{microseconds / 1000000, microseconds % 1000000};
  return ::select(0, &readable, nullptr, nullptr, &timeout);
}

// A refused non-blocking connect shows in the exception set, but so does urgent
// data from a working peer: only SO_ERROR tells the two apart.
int PendingError(Socket s) {
  int error = 0;
  int length = sizeof error;
  if (getsockopt(Wide(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    return WSAGetLastError();
  }
  return error;
}

// Writable: a non-blocking connect has completed; a failed one shows in the
// exception set and the pending error instead.
int SelectWrite(Socket s, long microseconds) {
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(Wide(s), &writable);
  timeval timeout{microseconds / 1000000, microseconds % 1000000};
  return ::select(0, nullptr, &writable, nullptr, &timeout);
}

int Send(Socket s, const char* bytes, int count) { return ::send(Wide(s), bytes, count, 0); }

int Recv(Socket s, char* bytes, int count, int flags) {
  return ::recv(Wide(s), bytes, count, (flags & kRecvPeek) ? MSG_PEEK : 0);
}

int Shutdown(Socket s, int how) { return ::shutdown(Wide(s), how); }

int CloseSocket(Socket s) { return ::closesocket(Wide(s)); }

uint32_t InetAddr(const char* text) { return ::inet_addr(text); }

uint32_t LookupHost(const char* name) {
  const hostent* entry = ::gethostbyname(name);
  if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
    return kNoAddress;
  }
  uint32_t address = 0;
  const size_t length = entry->h_length < 0 ? 0 : static_cast<size_t>(entry->h_length);
  std::memcpy(&address, entry->h_addr_list[0], length < sizeof address ? length : sizeof address);
  return address;
}

int LocalPort(Socket s) {
  sockaddr_in in{};
  int length = sizeof in;
  if (getsockname(Wide(s), reinterpret_cast<sockaddr*>(&in), &length) != 0) return -1;
  return ntohs(in.sin_port);
}

// Winsock tells nobody its start count; a socket call made without any start
// fails with WSANOTINITIALISED, and one made with a start costs one socket.
bool Started() {
  const SOCKET probe = ::socket(AF_INET, SOCK_STREAM, 0);
  if (probe != INVALID_SOCKET) {
    ::closesocket(probe);
    return true;
  }
  return WSAGetLastError() != WSANOTINITIALISED;
}

constexpr SocketApi kNative = {
    Startup,     Cleanup,        CancelBlockingCall,
    OpenSocket,  SetNonBlocking, AllowAddressReuse,
    Bind,        Listen,         Accept,
    Connect,     SelectRead,     PendingError,
    Send,        Recv,           Shutdown,
    CloseSocket, InetAddr,       LookupHost,
    LocalPort,   Started,        SelectWrite,
    LastError,
};

// A pass dispatches what PeekMessage hands out, in the system's own order (sent
// and posted messages, input, then paint and timers, which are made only when
// nothing else waits), until the queue is empty. A handler that keeps posting, or
// a window that never validates its paint, would keep the queue full for ever: a
// pass, with every pass nested inside it, dispatches at most this many messages.
constexpr int kMaxMessagesPerPass = 64;

thread_local int openPasses = 0;
thread_local int dispatchesLeft = 0;

}  // namespace

const SocketApi& NativeSockets() { return kNative; }

HostString NewString(const char16_t* units, uint32_t count) {
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(units), count);
}

HostString NewStringBytes(const char* bytes, uint32_t count) {
  return SysAllocStringByteLen(bytes, count);
}

uint32_t StringByteLen(HostString s) { return s == nullptr ? 0 : SysStringByteLen(s); }

void FreeString(HostString s) { SysFreeString(s); }

std::u16string AnsiToWide(const char* bytes, size_t count) {
  if (count == 0 || count > INT32_MAX) return {};
  const int length = MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(count), nullptr, 0);
  std::u16string out(static_cast<size_t>(length), u'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(count),
                      reinterpret_cast<wchar_t*>(out.data()), length);
  return out;
}

// Without WC_NO_BEST_FIT_CHARS, characters that the code page lacks leave as
// look-alikes: a fullwidth "<" as "<", and under 932 a yen sign as a backslash. A host
// that filtered those would see them recreated on the wire, so a character
// without an exact mapping becomes the code page's default character. UTF-8
// maps every character and takes no such flag.
std::string WideToAnsi(const char16_t* units, size_t count) {
  if (count == 0 || count > INT32_MAX) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(units);
  const DWORD flags = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int length = WideCharToMultiByte(CP_ACP, flags, wide, static_cast<int>(count), nullptr, 0,
                                         nullptr, nullptr);
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, flags, wide, static_cast<int>(count), out.data(), length, nullptr,
                      nullptr);
  return out;
}

uint32_t AnsiCodePage() { return GetACP(); }

// Double-byte code pages are read from the front: only there is it known which
// bytes lead a pair.
size_t IncompleteAnsiTail(const char* bytes, size_t count) {
  const UINT codePage = GetACP();
  if (codePage == CP_UTF8) return utf8::IncompleteTail(bytes, count);
  CPINFO info;
  if (!GetCPInfo(codePage, &info) || info.MaxCharSize < 2) return 0;
  size_t i = 0;
  while (i < count) {
    if (!IsDBCSLeadByteEx(codePage, static_cast<BYTE>(bytes[i]))) {
      ++i;
    } else if (i + 1 == count) {
      return 1;
    } else {
      i += 2;
    }
  }
  return 0;
}

void SetPumpHook(void (*)(void*), void*) {}

// An empty queue is recognised by one cheap query, which also sees due timers and
// windows waiting for paint; PeekMessage would yield the processor when it finds
// nothing, so it is asked only while messages wait, and told not to yield.
void PumpMessages() {
  if (HIWORD(GetQueueStatus(QS_ALLINPUT)) == 0) return;
  if (openPasses == 0) dispatchesLeft = kMaxMessagesPerPass;
  ++openPasses;
  MSG msg;
  while (dispatchesLeft > 0 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE | PM_NOYIELD)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // the host's own loop must see it
      break;
    }
    --dispatchesLeft;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  --openPasses;
}

void Delay(int32_t milliseconds) {
  if (milliseconds >= 0) SleepEx(static_cast<DWORD>(milliseconds), FALSE);
}

// A directory search with normal attributes: read-only and archive files count,
// hidden and system files and directories do not.
bool OrdinaryFileExists(const char* name) {
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(name, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  constexpr DWORD kNotNormal =
      FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;
  return (found.dwFileAttributes & kNotNormal) == 0;
}

int CreateEmptyFile(const char* name) {
  const HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : ERROR_GEN_FAILURE;
  }
  CloseHandle(file);
  return 0;
}

int RemoveFile(const char* name) {
  if (DeleteFileA(name)) return 0;
  const DWORD error = GetLastError();
  return error != 0 ? static_cast<int>(error) : ERROR_GEN_FAILURE;
}

namespace {

// Per-thread values live in fiber-local storage, not in C++ thread_locals with
// destructors: the runtime pins the DLL for every thread that has one and frees it
// from that thread's detach, under the loader lock, where unloading hangs. FLS
// callbacks run at thread exit before the loader lock is taken, and FlsFree runs
// them on the freeing thread for every thread that still holds a value.
using ShutdownQuery = BOOLEAN(NTAPI*)();

std::atomic<ThreadValueRelease> threadValueRelease{nullptr};
std::atomic<bool> unloading{false};
// Resolved before any callback can run: a lookup there would take the loader lock.
std::atomic<ShutdownQuery> processExitQuery{nullptr};

// True during ExitProcess, whose detach calls run under the loader lock; the system
// takes back sockets and memory then, so nothing is released.
bool ProcessExiting() {
  const ShutdownQuery query = processExitQuery.load();
  return query != nullptr && query();
}

void WINAPI ReleaseThreadValue(void* value) {
  if (!ProcessExiting()) threadValueRelease.load()(value, unloading.load());
}

class FiberSlot {
 public:
  static FiberSlot& Instance() {
    static FiberSlot slot;
    return slot;
  }

  DWORD index() const { return index_; }

  FiberSlot(const FiberSlot&) = delete;
  FiberSlot& operator=(const FiberSlot&) = delete;

 private:
  FiberSlot() {
    processExitQuery = reinterpret_cast<ShutdownQuery>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress")));
    index_ = FlsAlloc(ReleaseThreadValue);
  }

  // With the DLL unloading (or a static host exiting): no callback may be left
  // pointing into code that is gone, and later calls find no storage.
  ~FiberSlot() {
    if (index_ == FLS_OUT_OF_INDEXES || ProcessExiting()) return;
    unloading = true;
    FlsFree(index_);
    index_ = FLS_OUT_OF_INDEXES;
  }

  DWORD index_ = FLS_OUT_OF_INDEXES;
};

}  // namespace

void* ThreadValue() {
  const DWORD index = FiberSlot::Instance().index();
  return index == FLS_OUT_OF_INDEXES ? nullptr : FlsGetValue(index);
}

bool SetThreadValue(void* value, ThreadValueRelease release) {
  const DWORD index = FiberSlot::Instance().index();
  threadValueRelease = release;
  return index != FLS_OUT_OF_INDEXES && FlsSetValue(index, value);
}

}  // namespace qws::platform

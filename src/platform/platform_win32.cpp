// The platform layer on Windows beside its sockets: BSTRs from oleaut32, the ANSI
// code page, the thread's window-message queue, pauses, marker files and
// per-thread values in fiber-local storage.
#include <windows.h>

#include <oleauto.h>

#include <atomic>
#include <cstring>

#include "platform.h"
#include "utf8.h"

namespace qws::platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "BSTR units are 16-bit");

// A pass dispatches what PeekMessage hands out, in the system's own order (sent
// and posted messages, input, then paint and timers, which are made only when
// nothing else waits), until the queue is empty. A handler that keeps posting, or
// a window that never validates its paint, would keep the queue full for ever: a
// pass, with every pass nested inside it, dispatches at most this many messages.
constexpr int kMaxMessagesPerPass = 64;

thread_local int openPasses = 0;
thread_local int dispatchesLeft = 0;

}  // namespace

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

// Under Wine SleepEx may end up to a millisecond early; a pause is a lower bound,
// so it is held to a deadline on the performance counter, as the clocks that hosts
// measure with are.
void Delay(int32_t milliseconds) {
  if (milliseconds <= 0) {
    if (milliseconds == 0) SleepEx(0, FALSE);
    return;
  }
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  const long long deadline = now.QuadPart + frequency.QuadPart * milliseconds / 1000;
  for (DWORD left = static_cast<DWORD>(milliseconds); left > 0;) {
    SleepEx(left, FALSE);
    QueryPerformanceCounter(&now);
    const long long ticks = deadline - now.QuadPart;
    left = ticks <= 0
               ? 0
               : static_cast<DWORD>((ticks * 1000 + frequency.QuadPart - 1) / frequency.QuadPart);
  }
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

// A host of the built DLL for the unload tests, one scenario a process: threads
// whose connections are live while the DLL is freed or the process exits. The
// exit code tells the test what happened; a hang is the test's to catch.
//   qws_unload_host worker|free-while-live|exit PORT, with a listener on 127.0.0.1:PORT.
#include <windows.h>

#include <oleauto.h>

#include <cstdlib>
#include <string>

#include "Quillmar_ws.h"

namespace {

constexpr int kDone = 0;
constexpr int kStepFailed = 2;
constexpr int kThreadStuck = 3;
constexpr int kUsage = 4;
constexpr DWORD kThreadEndLimit = 1000;  // ms from a thread's last step to its end
constexpr DWORD kStepLimit = 30000;      // ms, for steps that connect
constexpr int kLiveThreads = 3;
constexpr wchar_t kLibrary[] = L"Quillmar_ws.dll";

using ConnectFn = Bool16(QWS_CALL*)(HostString, int16_t);
using SendFn = int32_t(QWS_CALL*)(HostString);
using StatusFn = int32_t(QWS_CALL*)();

int16_t port = 0;
HMODULE library = nullptr;
HANDLE stepsDone = nullptr;  // a count for each thread whose steps are done
HANDLE freed = nullptr;

template <class Function>
Function Export(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

bool Connect() {
  BSTR host = SysAllocStringByteLen("127.0.0.1", 9);
  const bool ok = Export<ConnectFn>("ConnectTCP")(host, port) != 0;
  SysFreeString(host);
  return ok;
}

// ExitProcess would wait for the loader lock that a stuck thread holds.
[[noreturn]] void Quit(int code) {
  for (;;) TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
}

HANDLE Start(LPTHREAD_START_ROUTINE body) {
  HANDLE thread = CreateThread(nullptr, 0, body, nullptr, 0, nullptr);
  if (thread == nullptr) Quit(kStepFailed);
  return thread;
}

void AwaitSteps() {
  if (WaitForSingleObject(stepsDone, kStepLimit) != WAIT_OBJECT_0) Quit(kStepFailed);
}

// The thread's exit code, once it has ended in time.
int Ended(HANDLE thread) {
  if (WaitForSingleObject(thread, kThreadEndLimit) != WAIT_OBJECT_0) Quit(kThreadStuck);
  DWORD code = kStepFailed;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  return static_cast<int>(code);
}

// The DLL loaded, used and freed on this thread alone.
DWORD WINAPI Worker(void*) {
  library = LoadLibraryW(kLibrary);
  bool ok = library != nullptr && Connect();
  if (ok) {
    // A message waiting, so that the send's pump point really dispatches.
    PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0);
    BSTR text = SysAllocString(L"hello");
    ok = Export<SendFn>("SendTCP")(text) > 0 && Export<StatusFn>("CloseTCP")() == 0;
    SysFreeString(text);
  }
  if (library != nullptr) FreeLibrary(library);
  ReleaseSemaphore(stepsDone, 1, nullptr);
  return ok ? kDone : kStepFailed;
}

// Connects, then lives on until the DLL is freed.
DWORD WINAPI Holder(void*) {
  if (!Connect()) Quit(kStepFailed);
  ReleaseSemaphore(stepsDone, 1, nullptr);
  WaitForSingleObject(freed, INFINITE);
  return kDone;
}

// The test checks its peer while this process lives on, and closes our input then.
void AwaitTest() {
  char byte;
  DWORD count = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &count, nullptr) && count > 0) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return kUsage;
  const std::string scenario = argv[1];
  port = static_cast<int16_t>(std::atoi(argv[2]));
  stepsDone = CreateSemaphoreW(nullptr, 0, kLiveThreads, nullptr);
  freed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (scenario == "worker") {
    HANDLE thread = Start(Worker);
    AwaitSteps();
    return Ended(thread);
  }
  library = LoadLibraryW(kLibrary);
  if (library == nullptr) return kStepFailed;
  if (scenario == "free-while-live") {
    HANDLE thread = Start(Holder);
    AwaitSteps();
    FreeLibrary(library);
    SetEvent(freed);
    const int code = Ended(thread);
    AwaitTest();
    return code;
  }
  if (scenario == "exit") {
    for (int i = 0; i < kLiveThreads; ++i) CloseHandle(Start(Holder));
    if (!Connect()) return kStepFailed;
    for (int i = 0; i < kLiveThreads; ++i) AwaitSteps();
    ExitProcess(kDone);
  }
  return kUsage;
}

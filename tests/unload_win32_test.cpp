// The built DLL in a host process of its own (unload_host_win32.cpp): the DLL is
// freed and the process exits while threads have used it. A host that hangs is
// ended and the test fails. (Record.ThreadEndClosesWhatItsRecordHolds covers a
// thread's end with the library loaded.)
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "support/peer.h"

namespace qws::test {
namespace {

// Wine starts a process in seconds, and each connect pauses 0.8 s.
constexpr DWORD kHostLimit = 60000;  // ms
constexpr Millis kHostStart = 30000ms;
constexpr int kHung = -1;

std::wstring BesideThisProgram(const wchar_t* relative) {
  wchar_t own[MAX_PATH];
  std::wstring path(own, GetModuleFileNameW(nullptr, own, MAX_PATH));
  return path.substr(0, path.find_last_of(L"\\/") + 1) + relative;
}

class Host {
 public:
  Host(const wchar_t* scenario, uint16_t port) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE input = nullptr;
    CreatePipe(&input, &input_, &inherited, 0);
    SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    const std::wstring program = BesideThisProgram(QWS_UNLOAD_HOST);
    std::wstring command = L"\"" + program + L"\" " + scenario + L" " + std::to_wstring(port);
    PROCESS_INFORMATION started{};
    if (CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &started)) {
      process_ = started.hProcess;
      CloseHandle(started.hThread);
    }
    CloseHandle(input);
  }

  ~Host() {
    Finish();
    if (process_ != nullptr) CloseHandle(process_);
  }

  bool started() const { return process_ != nullptr; }

  // Lets the host finish and gives its exit code, or kHung after ending it.
  int Finish() {
    if (input_ != nullptr) CloseHandle(input_);
    input_ = nullptr;
    if (process_ == nullptr) return kHung;
    if (WaitForSingleObject(process_, kHostLimit) != WAIT_OBJECT_0) {
      TerminateProcess(process_, 1);
      WaitForSingleObject(process_, kHostLimit);
      return kHung;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return static_cast<int>(code);
  }

 private:
  HANDLE process_ = nullptr;
  HANDLE input_ = nullptr;
};

// The host's thread loads the DLL, connects, sends, closes and frees it, and
// must end within a second.
TEST(LibraryUnload, WorkerThatFreesTheLibraryEnds) {
  Peer listener = Peer::Listening();
  Host host(L"worker", listener.port());
  ASSERT_TRUE(host.started());
  EXPECT_EQ(0, host.Finish());
}

// The DLL is freed while another thread's connection is live: that connection is
// closed, and the thread ends within a second.
TEST(LibraryUnload, FreeingReleasesLiveRecordsAndTheirThreadsEnd) {
  Peer listener = Peer::Listening();
  Host host(L"free-while-live", listener.port());
  ASSERT_TRUE(host.started());
  Peer server = listener.Accept(kHostStart);
  ASSERT_TRUE(server.valid());
  EXPECT_TRUE(server.SeesOrderlyClose(kHostStart));
  EXPECT_EQ(0, host.Finish());
}

TEST(LibraryUnload, ProcessExitsWithLiveRecordsOnSeveralThreads) {
  Peer listener = Peer::Listening();
  Host host(L"exit", listener.port());
  ASSERT_TRUE(host.started());
  EXPECT_EQ(0, host.Finish());
}

}  // namespace
}  // namespace qws::test

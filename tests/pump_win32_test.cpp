// The message pump as a Windows host's own loop sees it: timers, painting and
// input are dispatched at the library's pump points, and a handler that keeps
// posting or always calls back holds the caller only for a bounded time.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "support/fixtures.h"

namespace qws::test {
namespace {

constexpr wchar_t kClassName[] = L"QuillmarWsPumpTest";
constexpr UINT kAgain = WM_APP + 7;

struct Seen {
  int paints = 0;
  int reposts = 0;
  int depth = 0;
  int deepest = 0;
  bool callBack = false;
};
Seen seen;

LRESULT CALLBACK TestWindow(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_PAINT) {
    ++seen.paints;
    PAINTSTRUCT paint;
    BeginPaint(window, &paint);
    EndPaint(window, &paint);
    return 0;
  }
  if (message != kAgain) return DefWindowProcW(window, message, wparam, lparam);
  ++seen.reposts;
  PostMessageW(window, kAgain, 0, 0);  // for ever
  if (seen.callBack) {
    seen.deepest = std::max(seen.deepest, ++seen.depth);
    Take(DataArrivalTCP());
    --seen.depth;
  }
  return 0;
}

class Pump : public testing::Test {
 protected:
  void SetUp() override {
    seen = Seen{};
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = TestWindow;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    RegisterClassW(&windowClass);
    // A top-level window that is never shown: it still gets WM_PAINT.
    window_ = CreateWindowExW(0, kClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(nullptr, window_);
  }
  void TearDown() override {
    DestroyWindow(window_);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  HWND window_ = nullptr;
};

bool timerFired = false;
void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) { timerFired = true; }

TEST_F(Pump, TimersAndPaintingRunAtThePumpPoints) {
  timerFired = false;
  const UINT_PTR timer = SetTimer(nullptr, 0, 10, OnTimer);
  ASSERT_NE(0u, timer);
  Sleep(30);
  Take(DataArrivalTCP());  // a fresh record: one pump point and nothing else
  EXPECT_TRUE(timerFired) << "a due timer fires at the first pump point";

  // A host loop that polls and waits for its own 10 ms timer.
  timerFired = false;
  int iterations = 0;
  while (!timerFired && iterations < 1000) {
    Take(DataArrivalTCP());
    Sleep(1);
    ++iterations;
  }
  KillTimer(nullptr, timer);
  EXPECT_TRUE(timerFired);
  EXPECT_LT(iterations, 100);

  ShowWindow(window_, SW_SHOWNOACTIVATE);
  UpdateWindow(window_);
  seen.paints = 0;
  InvalidateRect(window_, nullptr, FALSE);
  Take(DataArrivalTCP());
  EXPECT_EQ(1, seen.paints) << "an invalidated window is painted";
}

TEST_F(Pump, AHandlerThatKeepsPostingOrCallingBackIsBounded) {
  PostMessageW(window_, kAgain, 0, 0);
  Stopwatch watch;
  Take(DataArrivalTCP());
  EXPECT_GE(seen.reposts, 1);
  EXPECT_LE(seen.reposts, 1000) << "the pass is bounded";

  seen = Seen{};
  seen.callBack = true;
  AttachedPair pair;  // full passes: three pump points each
  ASSERT_TRUE(pair.server.Send("kept"));
  Sleep(50);
  std::u16string outer = Take(DataArrivalTCP());
  EXPECT_LE(seen.deepest, kMaxPumpNesting) << "nesting is bounded";
  EXPECT_GE(seen.deepest, 2);
  EXPECT_LT(watch.ms(), 5000);
  seen.callBack = false;
  // The data went to one of the nested passes or the outer one, never twice.
  EXPECT_TRUE(outer == u"kept" || outer.empty());
}

}  // namespace
}  // namespace qws::test

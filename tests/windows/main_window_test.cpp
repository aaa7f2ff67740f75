// The operator window's own behaviour, with the real window under Wine: the
// start timer, the countdown, close requests during a session and errors
// that no stage caught.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/errors.h"
#include "ui/app_texts.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

namespace ulmar {
namespace {

std::string Text(HWND hwnd) {
  char buffer[512] = {};
  GetWindowTextA(hwnd, buffer, sizeof buffer);
  return buffer;
}

bool g_probe_fired = false;
void CALLBACK ProbeFired(HWND, UINT, UINT_PTR, DWORD) { g_probe_fired = true; }

TEST(MainWindow, StartTimerRunsTheSessionOnceAboutASecondAfterCreation) {
  int runs = 0;
  std::unique_ptr<MainWindow> window;
  auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration delay{};
  window = std::make_unique<MainWindow>(GetModuleHandleA(nullptr), [&] {
    ++runs;
    delay = std::chrono::steady_clock::now() - start;
    // Messages handled inside the session must not start it again: handle
    // them until a probe timer longer than the start timer's period has
    // fired, by which time a start timer still alive would have fired too.
    g_probe_fired = false;
    UINT_PTR probe = SetTimer(nullptr, 0, 1500, ProbeFired);
    while (!g_probe_fired) {
      WaitMessage();
      window->ProcessMessages();
    }
    KillTimer(nullptr, probe);
    PostMessageA(window->Handle(), WM_CLOSE, 0, 0);
  });
  window->Run();
  EXPECT_EQ(runs, 1);
  EXPECT_GE(delay, std::chrono::milliseconds(900));
}

// Every caption the countdown notice is given, recorded on the window's
// own thread as it is set.
std::vector<std::string> g_captions;
HWND g_label = nullptr;

LRESULT CALLBACK RecordCaptions(int code, WPARAM wparam, LPARAM lparam) {
  auto* call = reinterpret_cast<CWPSTRUCT*>(lparam);
  if (code == HC_ACTION && call->hwnd == g_label && call->message == WM_SETTEXT) {
    g_captions.push_back(reinterpret_cast<const char*>(call->lParam));
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

TEST(MainWindow, CountdownShowsTheDesignCaptionThenNineToZeroAndClosesOnZero) {
  std::unique_ptr<MainWindow> window;
  bool visible_at_start = false;
  std::chrono::steady_clock::time_point started;
  window = std::make_unique<MainWindow>(GetModuleHandleA(nullptr), [&] {
    window->ReportSuccess("Обновление успешно завершено!");
    g_label = GetDlgItem(window->Handle(), ids::kLbCounter);
    EXPECT_FALSE(IsWindowVisible(g_label));
    window->StartCountdown();
    visible_at_start = IsWindowVisible(g_label) != FALSE;
    g_captions.push_back(Text(g_label));
    started = std::chrono::steady_clock::now();
  });
  HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, RecordCaptions, nullptr, GetCurrentThreadId());
  window->Run();
  auto elapsed = std::chrono::steady_clock::now() - started;
  UnhookWindowsHookEx(hook);
  std::vector<std::string> expected = {"Приложение будет автоматически закрыто через % секунд"};
  for (int n = 9; n >= 0; --n) expected.push_back("Приложение будет автоматически закрыто через " + std::to_string(n) + " секунд");
  EXPECT_EQ(g_captions, expected);
  EXPECT_TRUE(visible_at_start);
  EXPECT_EQ(window->Handle(), nullptr);  // closed on the tick that showed 0
  EXPECT_GE(elapsed, std::chrono::milliseconds(9500));
}

TEST(MainWindow, CloseRequestDuringTheSessionTakesEffectWhenItReturns) {
  std::unique_ptr<MainWindow> window;
  bool alive_after_request = false;
  bool finished = false;
  window = std::make_unique<MainWindow>(GetModuleHandleA(nullptr), [&] {
    PostMessageA(window->Handle(), WM_CLOSE, 0, 0);
    PostMessageA(GetDlgItem(window->Handle(), ids::kBtClose), BM_CLICK, 0, 0);
    // Each line handles the pending messages, the two close requests among them.
    for (int i = 0; i < 5; ++i) window->ShowStatus("строка " + std::to_string(i));
    alive_after_request = IsWindow(window->Handle()) != FALSE;
    finished = true;
  });
  window->Run();
  EXPECT_TRUE(alive_after_request);
  EXPECT_TRUE(finished);
  EXPECT_EQ(window->Handle(), nullptr);
}

TEST(MainWindow, AnErrorNoStageCaughtGoesToTheDefaultErrorBoxAndTheWindowStays) {
  std::unique_ptr<MainWindow> window;
  std::string box_text;
  std::atomic<bool> window_open_after_box{false};
  std::thread operator_thread([&] {
    for (int i = 0; i < 1000; ++i) {
      HWND box = FindWindowA("#32770", kApplicationTitle);
      if (box && IsWindowVisible(box)) {
        HWND child = nullptr;
        while ((child = FindWindowExA(box, child, "Static", nullptr))) {
          std::string t = Text(child);
          if (!t.empty()) box_text = t;
        }
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        // Once the box has gone, the window must still be there.
        for (int wait = 0; wait < 1000 && IsWindow(box); ++wait) Sleep(10);
        HWND main = FindWindowA("TForm1", nullptr);
        window_open_after_box = main && IsWindowVisible(main);
        PostMessageA(main, WM_CLOSE, 0, 0);
        return;
      }
      Sleep(10);
    }
  });
  window = std::make_unique<MainWindow>(GetModuleHandleA(nullptr), [&] {
    throw RegistryError("Ошибка записи значения UlmarUpdater");
  });
  window->Run();
  operator_thread.join();
  EXPECT_EQ(box_text, "Ошибка записи значения UlmarUpdater.");
  EXPECT_TRUE(window_open_after_box);
}

}  // namespace
}  // namespace ulmar

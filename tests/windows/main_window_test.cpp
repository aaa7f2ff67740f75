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
    for (int i = 0; i < 6000; ++i) {  // up to a minute on a slow machine
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

TEST(MainWindow, TheStatusBoxKeepsEveryLineOfALongSession) {
  std::unique_ptr<MainWindow> window;
  std::string text;
  window = std::make_unique<MainWindow>(GetModuleHandleA(nullptr), [&] {
    // 800 lines of 40 characters: past the edit box's default limit of
    // 30,000. (Each line appended re-lays out the whole text under Wine, so
    // more lines cost the tests time without showing more.)
    for (int i = 1; i <= 800; ++i) window->ShowStatus("      принят файл: Forms\\форма_" + std::to_string(10000 + i) + ".frm");
    window->ReportSuccess("Обновление успешно завершено!");
    HWND status = GetDlgItem(window->Handle(), ids::kLogBox);
    text.resize(GetWindowTextLengthA(status) + 1);
    text.resize(GetWindowTextA(status, text.data(), static_cast<int>(text.size())));
    PostMessageA(window->Handle(), WM_CLOSE, 0, 0);
  });
  window->Run();
  EXPECT_GT(text.size(), 33000u);
  EXPECT_NE(text.find("форма_10001.frm\r\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 31), "\r\nОбновление успешно завершено!");
}

// Whether the window was still open when the probe timer fired.
bool g_open_at_probe = false;
HWND g_probed_window = nullptr;
void CALLBACK ProbeWindow(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  g_open_at_probe = IsWindow(g_probed_window) != FALSE;
  PostMessageA(g_probed_window, WM_CLOSE, 0, 0);
}

TEST(MainWindow, EscapeDoesNotCloseTheWindow) {
  std::unique_ptr<MainWindow> window;
  window = std::make_unique<MainWindow>(GetModuleHandleA(nullptr), [&] {
    g_probed_window = window->Handle();
    // Escape on the focused close button, handled once the session is over;
    // the probe comes after it.
    HWND button = GetDlgItem(window->Handle(), ids::kBtClose);
    SetFocus(button);
    PostMessageA(button, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageA(button, WM_KEYUP, VK_ESCAPE, 0);
    SetTimer(nullptr, 0, 10, ProbeWindow);
  });
  window->Run();
  EXPECT_TRUE(g_open_at_probe);
  EXPECT_EQ(window->Handle(), nullptr);  // the close box (WM_CLOSE) still closes it
}

// The width of text in the control's own font.
int TextWidth(HWND control, const std::string& text) {
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)));
  SIZE size{};
  GetTextExtentPoint32A(dc, text.data(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return size.cx;
}

TEST(MainWindow, EveryCaptionFitsItsControl) {
  MainWindow window(GetModuleHandleA(nullptr), [] {});
  struct Caption {
    int id;
    std::string text;
    int margin;  // what the control needs beside the text: a button's edges, the close button's glyph
  };
  const Caption captions[] = {
      {ids::kLabel4, Text(GetDlgItem(window.Handle(), ids::kLabel4)), 0},
      {ids::kLabel5, Text(GetDlgItem(window.Handle(), ids::kLabel5)), 0},
      {ids::kLabel1, Text(GetDlgItem(window.Handle(), ids::kLabel1)), 0},
      {ids::kLbCounter, Text(GetDlgItem(window.Handle(), ids::kLbCounter)), 0},
      {ids::kLbCounter, "Приложение будет автоматически закрыто через 9 секунд", 0},
      {ids::kGarbageButton, Text(GetDlgItem(window.Handle(), ids::kGarbageButton)), 8},
      {ids::kGabDel, Text(GetDlgItem(window.Handle(), ids::kGabDel)), 8},
      {ids::kBtClose, Text(GetDlgItem(window.Handle(), ids::kBtClose)), 8 + 16 + 4},
  };
  for (const Caption& c : captions) {
    HWND control = GetDlgItem(window.Handle(), c.id);
    RECT r{};
    GetClientRect(control, &r);
    EXPECT_LE(TextWidth(control, c.text) + c.margin, r.right - r.left) << c.text;
  }
}

// Clicks on the clean-up buttons: the offer, then (once it has fired) the
// confirmation, past the double-click time.
MainWindow* g_cleanup_window = nullptr;
void CALLBACK ConfirmLater(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  SendMessageA(GetDlgItem(g_cleanup_window->Handle(), ids::kGabDel), BM_CLICK, 0, 0);
}

TEST(MainWindow, ADoubleClickOnTheOfferNeitherConfirmsNorListsTwice) {
  int listed = 0, deleted = 0;
  std::unique_ptr<MainWindow> window;
  window = std::make_unique<MainWindow>(GetModuleHandleA(nullptr), [&] {
    window->ShowCleanupOffer({"a.tmp"}, "C:\\U\\");
    // The operator clicks the offer once the session is over.
    PostMessageA(GetDlgItem(window->Handle(), ids::kGarbageButton), BM_CLICK, 0, 0);
  });
  g_cleanup_window = window.get();
  window->on_garbage_button = [&] {
    ++listed;
    // The second click arrives while the list is being written.
    PostMessageA(GetDlgItem(window->Handle(), ids::kGarbageButton), BM_CLICK, 0, 0);
    window->ShowStatus("C:\\U\\a.tmp");
    window->ShowConfirmation();
    // The second click of a double click lands on the confirmation at once.
    SendMessageA(GetDlgItem(window->Handle(), ids::kGabDel), BM_CLICK, 0, 0);
    EXPECT_EQ(deleted, 0);
    SetTimer(nullptr, 0, GetDoubleClickTime() + 100, ConfirmLater);
  };
  window->on_gab_del = [&] {
    ++deleted;
    window->CloseWindow();
  };
  window->Run();
  EXPECT_EQ(listed, 1);
  EXPECT_EQ(deleted, 1);  // a click after the double-click time confirms
}

}  // namespace
}  // namespace ulmar

// The default error display and the warning box, shown for real and read
// back from the screen.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ui/app_texts.h"
#include "ui/error_box.h"
#include "ui/warning_box.h"

namespace ulmar {
namespace {

// What a box shows, read back from its controls.
struct BoxReading {
  bool found = false;
  bool owner_disabled = false;
  std::string texts;  // every static text of the box, joined by '|'
  int text_fits = -1;  // 1 when every static text fits its control
  HICON icon = nullptr;
  std::vector<std::string> buttons;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM param) {
  auto* reading = reinterpret_cast<BoxReading*>(param);
  char cls[64] = {}, text[512] = {};
  GetClassNameA(child, cls, sizeof cls);
  GetWindowTextA(child, text, sizeof text);
  if (lstrcmpiA(cls, "Button") == 0) {
    reading->buttons.push_back(text);
  } else if (lstrcmpiA(cls, "Static") == 0 && (GetWindowLongA(child, GWL_STYLE) & SS_ICON)) {
    reading->icon = reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0));
  } else if (lstrcmpiA(cls, "Static") == 0 && text[0]) {
    if (!reading->texts.empty()) reading->texts += '|';
    reading->texts += text;
    RECT box;
    GetClientRect(child, &box);
    RECT need{0, 0, box.right, 0};
    HDC dc = GetDC(child);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(child, WM_GETFONT, 0, 0)));
    DrawTextA(dc, text, -1, &need, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(child, dc);
    const bool fits = need.right <= box.right && need.bottom <= box.bottom;
    reading->text_fits = (reading->text_fits != 0 && fits) ? 1 : 0;
  }
  return TRUE;
}

// Shows the box for message and returns what it displayed, pressing OK.
BoxReading ShowAndRead(const std::string& message) {
  BoxReading reading;
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    for (int i = 0; i < 6000 && !done; ++i) {  // up to a minute on a slow machine
      HWND box = FindWindowA("#32770", kApplicationTitle);
      if (box && IsWindowVisible(box)) {
        EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&reading));
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        return;
      }
      Sleep(10);
    }
  });
  ShowDefaultError(nullptr, message);
  done = true;
  watcher.join();
  return reading;
}

TEST(DefaultErrorDisplay, ShowsTheMessageWithTheFullStopRuleUnderTheApplicationTitle) {
  BoxReading plain = ShowAndRead("abc");
  EXPECT_EQ(plain.texts, "abc.");
  EXPECT_NE(plain.icon, nullptr);
  EXPECT_EQ(plain.buttons.size(), 1u);
  EXPECT_EQ(ShowAndRead("abc!").texts, "abc!");
  EXPECT_EQ(ShowAndRead("Ошибка записи в реестр").texts, "Ошибка записи в реестр.");
}

// Shows the warning box over an owner window, reads it, and dismisses it by
// posting `dismiss` to its button (WM_CLOSE: to the box itself).
BoxReading ShowWarningAndRead(const std::string& text, UINT dismiss, WPARAM key) {
  HWND owner = CreateWindowExA(0, "STATIC", "owner", WS_POPUP | WS_VISIBLE, 100, 100, 400, 300, nullptr, nullptr,
                               nullptr, nullptr);
  BoxReading reading;
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    for (int i = 0; i < 6000 && !done; ++i) {  // up to a minute on a slow machine
      HWND box = FindWindowA("#32770", "Warning");
      if (box && IsWindowVisible(box)) {
        reading.found = true;
        reading.owner_disabled = !IsWindowEnabled(owner);
        EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&reading));
        PostMessageA(dismiss == WM_CLOSE ? box : GetDlgItem(box, IDOK), dismiss, key, 0);
        return;
      }
      Sleep(10);
    }
  });
  ShowWarningBox(owner, "Warning", text);
  done = true;
  watcher.join();
  DestroyWindow(owner);
  return reading;
}

TEST(WarningBox, ShowsTitleWarningIconTheWholeTextAndALatinOkButton) {
  const std::string text = "Не удаётся удалить файл \"Отчёты\\Черновик квартального отчёта.tmp\"; возможно, в данный "
                           "момент он открыт. ";
  BoxReading r = ShowWarningAndRead(text, WM_KEYDOWN, VK_RETURN);
  ASSERT_TRUE(r.found);
  EXPECT_TRUE(r.owner_disabled);
  EXPECT_EQ(r.icon, LoadIconA(nullptr, IDI_WARNING));
  EXPECT_EQ(r.texts, text);
  EXPECT_EQ(r.text_fits, 1);
  EXPECT_EQ(r.buttons, std::vector<std::string>{"OK"});
}

TEST(WarningBox, AClickEscapeAndTheCloseBoxDismissItLikeEnter) {
  // Each returns only once the box is gone.
  EXPECT_TRUE(ShowWarningAndRead("x", BM_CLICK, 0).found);
  EXPECT_TRUE(ShowWarningAndRead("x", WM_KEYDOWN, VK_ESCAPE).found);
  EXPECT_TRUE(ShowWarningAndRead("x", WM_CLOSE, 0).found);
}

}  // namespace
}  // namespace ulmar

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

struct BoxReading {
  std::string texts;  // every static text of the box, joined by '|'
  bool has_icon = false;
  int buttons = 0;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM param) {
  auto* reading = reinterpret_cast<BoxReading*>(param);
  char cls[64] = {}, text[512] = {};
  GetClassNameA(child, cls, sizeof cls);
  GetWindowTextA(child, text, sizeof text);
  if (lstrcmpiA(cls, "Static") == 0) {
    if (GetWindowLongA(child, GWL_STYLE) & SS_ICON) {
      reading->has_icon = true;
    } else if (text[0]) {
      if (!reading->texts.empty()) reading->texts += '|';
      reading->texts += text;
    }
  } else if (lstrcmpiA(cls, "Button") == 0) {
    ++reading->buttons;
  }
  return TRUE;
}

// Shows the box for message and returns what it displayed, pressing OK.
BoxReading ShowAndRead(const std::string& message) {
  BoxReading reading;
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    for (int i = 0; i < 500 && !done; ++i) {
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
  EXPECT_TRUE(plain.has_icon);
  EXPECT_EQ(plain.buttons, 1);
  EXPECT_EQ(ShowAndRead("abc!").texts, "abc!");
  EXPECT_EQ(ShowAndRead("Ошибка записи в реестр").texts, "Ошибка записи в реестр.");
}

struct WarningReading {
  bool found = false;
  bool owner_disabled = false;
  HICON icon = nullptr;
  std::string text;
  int text_fits = -1;  // 1 when the whole text fits its control
  std::vector<std::string> buttons;
};

BOOL CALLBACK ReadWarningChild(HWND child, LPARAM param) {
  auto* reading = reinterpret_cast<WarningReading*>(param);
  char cls[64] = {}, text[512] = {};
  GetClassNameA(child, cls, sizeof cls);
  GetWindowTextA(child, text, sizeof text);
  if (lstrcmpiA(cls, "Button") == 0) {
    reading->buttons.push_back(text);
  } else if (GetWindowLongA(child, GWL_STYLE) & SS_ICON) {
    reading->icon = reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0));
  } else {
    reading->text = text;
    RECT box;
    GetClientRect(child, &box);
    RECT need{0, 0, box.right, 0};
    HDC dc = GetDC(child);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(child, WM_GETFONT, 0, 0)));
    DrawTextA(dc, text, -1, &need, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(child, dc);
    reading->text_fits = need.right <= box.right && need.bottom <= box.bottom;
  }
  return TRUE;
}

// Shows the warning box over an owner window, reads it, and dismisses it by
// posting `dismiss` to its button (WM_CLOSE: to the box itself).
WarningReading ShowWarningAndRead(const std::string& text, UINT dismiss, WPARAM key) {
  HWND owner = CreateWindowExA(0, "STATIC", "owner", WS_POPUP | WS_VISIBLE, 100, 100, 400, 300, nullptr, nullptr,
                               nullptr, nullptr);
  WarningReading reading;
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    for (int i = 0; i < 500 && !done; ++i) {
      HWND box = FindWindowA("#32770", "Warning");
      if (box && IsWindowVisible(box)) {
        reading.found = true;
        reading.owner_disabled = !IsWindowEnabled(owner);
        EnumChildWindows(box, ReadWarningChild, reinterpret_cast<LPARAM>(&reading));
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
  WarningReading r = ShowWarningAndRead(text, WM_KEYDOWN, VK_RETURN);
  ASSERT_TRUE(r.found);
  EXPECT_TRUE(r.owner_disabled);
  EXPECT_EQ(r.icon, LoadIconA(nullptr, IDI_WARNING));
  EXPECT_EQ(r.text, text);
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

// The default error display, shown for real and read back from the screen.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "ui/app_texts.h"
#include "ui/error_box.h"

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

}  // namespace
}  // namespace ulmar

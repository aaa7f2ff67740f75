// The session log with Wine's real clock, formats and file sharing.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>

#include "base/errors.h"
#include "log/session_log.h"
#include "platform/system_error.h"
#include "unit/temp_dir.h"

namespace ulmar {
namespace {

using testing::ReadAll;


TEST(SessionLogWin32, NewLogHasTheHeaderWithARussianTimestamp) {
  testing::TempDir dir;
  auto clock = MakeSystemClock();
  SessionLog log(*clock);
  log.start_log(dir.File("short.log"));
  log.WriteLog("Приложение запущено из C:\\");
  log.CloseLog();
  std::string text = ReadAll(dir.File("short.log"));
  std::smatch m;
  ASSERT_TRUE(std::regex_match(text, m,
                               std::regex(R"(\*\*\* Журнал создан ()" + std::string(R"(\d\d\.\d\d\.\d{4}(?: \d{1,2}:\d\d:\d\d)?)") +
                                          R"()\r\n)" + R"((\d\d\.\d\d\.\d{4}(?: \d{1,2}:\d\d:\d\d)?) >>> Приложение запущено из C:\\\r\n)")))
      << text;
}

TEST(SessionLogWin32, OthersMayReadButNotWriteWhileOpen) {
  testing::TempDir dir;
  auto clock = MakeSystemClock();
  SessionLog log(*clock);
  const std::string path = dir.File("short.log");
  log.start_log(path);
  HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
  // A second copy of the program cannot open the same log.
  SessionLog second(*clock);
  EXPECT_THROW(second.start_log(path), InOutError);
  log.CloseLog();
}

TEST(SessionLogWin32, FailedAppendOpenLeavesTheLogClosedAndTheFinalCloseSucceeds) {
  testing::TempDir dir;
  auto clock = MakeSystemClock();
  const std::string path = dir.File("short.log");
  testing::WriteAll(path, "earlier\r\n");
  HANDLE holder = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  {
    SessionLog log(*clock);
    try {
      log.start_log(path);
      FAIL() << "appended to a file held open for writing";
    } catch (const InOutError& e) {
      EXPECT_EQ(e.Message(), SystemErrorText(ERROR_SHARING_VIOLATION));
    }
    EXPECT_FALSE(log.IsOpen());
    EXPECT_THROW(log.WriteLog("x"), InOutError);
    EXPECT_NO_THROW(log.CloseLog());
  }
  CloseHandle(holder);
  EXPECT_EQ(ReadAll(path), "earlier\r\n");
}

}  // namespace
}  // namespace ulmar

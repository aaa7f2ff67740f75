// Starting programs and the shortcut (INI) files against Wine's real API.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/exe_path.h"
#include "platform/ini_files.h"
#include "platform/processes.h"
#include "unit/temp_dir.h"

namespace ulmar {
namespace {

TEST(IniFilesWin32, ShortcutFilesAreReadWithADefaultAndWrittenWhereTheFolderExists) {
  testing::TempDir dir;
  auto ini_files = MakeSystemIniFiles();
  const std::string path = dir.File("Новости и техническая поддержка.url");
  EXPECT_EQ(ini_files->ReadIniString(path, "InternetShortcut", "URL", "нет такого"), "нет такого");
  ASSERT_TRUE(ini_files->WriteIniString(path, "InternetShortcut", "URL", "http://support.test/page/support/ulmar"));
  EXPECT_EQ(ini_files->ReadIniString(path, "InternetShortcut", "URL", "нет такого"),
            "http://support.test/page/support/ulmar");
  EXPECT_NE(testing::ReadAll(path).find("[InternetShortcut]"), std::string::npos);
  EXPECT_FALSE(ini_files->WriteIniString(dir.File("missing\\x.url"), "InternetShortcut", "URL", "u"));
}

TEST(ProcessStarterWin32, AProgramThatIsNotThereCannotBeStarted) {
  testing::TempDir dir;
  auto processes = MakeSystemProcessStarter();
  EXPECT_FALSE(processes->RunAndWaitIdle(dir.Path().string() + "\\", "replace_ux.exe"));
}

// The companion is started hidden, with an empty command line, in the
// folder it lives in.
TEST(ProcessStarterWin32, AProgramStartsHiddenWithoutArgumentsInItsOwnFolder) {
  testing::TempDir dir;
  const std::string folder = dir.File("a folder");
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  ASSERT_TRUE(CopyFileA((ExeDir() + "..\\fixtures\\start_report.exe").c_str(), (folder + "\\start_report.exe").c_str(),
                        FALSE));
  ASSERT_TRUE(MakeSystemProcessStarter()->RunAndWaitIdle(folder + "\\", "start_report.exe"));
  // Idle for input means the report is written. The command line is empty
  // (Wine fills in the quoted program name where Windows leaves it empty):
  // no arguments either way.
  const std::string report = testing::ReadAll(folder + "\\start_report.txt");
  const std::string program = "\"" + folder + "\\start_report.exe\"";
  EXPECT_TRUE(report == "show=0\r\ncommand=\r\ndirectory=" + folder + "\r\n" ||
              report == "show=0\r\ncommand=" + program + "\r\ndirectory=" + folder + "\r\n")
      << report;
}

}  // namespace
}  // namespace ulmar

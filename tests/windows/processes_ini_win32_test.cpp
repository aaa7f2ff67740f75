// Starting programs and the shortcut (INI) files against Wine's real API.
#include <windows.h>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace ulmar

// The workstation's processes and shortcut files against Wine's real API.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/workstation.h"
#include "unit/temp_dir.h"

namespace ulmar {
namespace {

TEST(WorkstationWin32, ShortcutFilesAreReadWithADefaultAndWrittenWhereTheFolderExists) {
  testing::TempDir dir;
  auto workstation = MakeSystemWorkstation();
  const std::string path = dir.File("Новости и техническая поддержка.url");
  EXPECT_EQ(workstation->ReadIniString(path, "InternetShortcut", "URL", "нет такого"), "нет такого");
  ASSERT_TRUE(workstation->WriteIniString(path, "InternetShortcut", "URL", "http://support.test/page/support/ulmar"));
  EXPECT_EQ(workstation->ReadIniString(path, "InternetShortcut", "URL", "нет такого"),
            "http://support.test/page/support/ulmar");
  EXPECT_NE(testing::ReadAll(path).find("[InternetShortcut]"), std::string::npos);
  EXPECT_FALSE(workstation->WriteIniString(dir.File("missing\\x.url"), "InternetShortcut", "URL", "u"));
}

TEST(WorkstationWin32, AProgramThatIsNotThereCannotBeStarted) {
  testing::TempDir dir;
  auto workstation = MakeSystemWorkstation();
  EXPECT_FALSE(workstation->RunAndWaitIdle(dir.Path().string() + "\\", "replace_ux.exe"));
}

}  // namespace
}  // namespace ulmar

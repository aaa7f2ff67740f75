// The Win32 side of the platform layer against Wine's real API.
#include <windows.h>

#include <gtest/gtest.h>

#include "apply/partial_file.h"
#include "base/errors.h"
#include "base/partial_file.h"
#include "platform/clock.h"
#include "platform/exe_path.h"
#include "platform/file.h"
#include "platform/system_error.h"
#include "unit/temp_dir.h"

namespace ulmar {
namespace {

TEST(SystemClock, UsesTheUsersRussianRegionalFormats) {
  auto clock = MakeSystemClock();
  LocalTime t{2026, 12, 8, 9, 5, 7, 0};
  EXPECT_EQ(clock->ShortDate(t), "08.12.2026");
  EXPECT_EQ(clock->LongTime(t), "9:05:07");
  LocalTime now = clock->Now();
  EXPECT_GE(now.year, 2024);
}

TEST(ExeDirTest, IsTheDirectoryOfThisProgramWithATrailingBackslash) {
  char module[MAX_PATH];
  GetModuleFileNameA(nullptr, module, MAX_PATH);
  std::string dir = ExeDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '\\');
  EXPECT_EQ(std::string(module).rfind(dir, 0), 0u);
  EXPECT_EQ(std::string(module).find('\\', dir.size()), std::string::npos);
}

TEST(Files, ExistenceTellsFilesFromDirectories) {
  testing::TempDir dir;
  testing::WriteAll(dir.File("f"), "x");
  EXPECT_TRUE(FileExists(dir.File("f")));
  EXPECT_FALSE(DirectoryExists(dir.File("f")));
  EXPECT_TRUE(DirectoryExists(dir.Path().string()));
  EXPECT_FALSE(FileExists(dir.Path().string()));
  EXPECT_FALSE(FileExists(dir.File("missing")));
}

TEST(Files, CreateForWriteMakesANewFileOrEmptiesAnExistingOne) {
  testing::TempDir dir;
  testing::WriteAll(dir.File("old"), "a longer earlier content");
  for (const char* name : {"new", "old"}) {
    File f = File::CreateForWrite(dir.File(name));
    f.Write("fresh");
    f.Close();
    EXPECT_EQ(testing::ReadAll(dir.File(name)), "fresh") << name;
  }
  // Neither way passes over a file another program holds for writing.
  HANDLE held = CreateFileA(dir.File("old").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_THROW(File::CreateForWrite(dir.File("old")), InOutError);
  CloseHandle(held);
  EXPECT_EQ(testing::ReadAll(dir.File("old")), "fresh");
}

TEST(Files, ClearReadOnlyTakesOnlyThatAttributeOff) {
  testing::TempDir dir;
  const std::string path = dir.File("cd.dll");
  testing::WriteAll(path, "x");
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_TRUE(ClearReadOnly(path));
  EXPECT_EQ(GetFileAttributesA(path.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_TRUE(ClearReadOnly(path));  // nothing to do
  EXPECT_TRUE(ClearReadOnly(dir.File("missing")));
  EXPECT_TRUE(DeleteFileAt(path));
}

TEST(Files, ADestinationOf259CharactersIsDownloadedThroughTheShortPartialName) {
  testing::TempDir dir;
  std::string root = dir.Path().string() + "\\";
  std::string folder = root + std::string(120, 'f');
  ASSERT_TRUE(CreateDirectories(folder));
  const std::string destination = folder + "\\" + std::string(259 - folder.size() - 5, 'n') + ".dll";
  ASSERT_EQ(destination.size(), 259u);
  testing::WriteAll(destination, "old");
  // Beside the destination, the partial name would be past the limit.
  EXPECT_THROW(File::CreateForWrite(destination + kPartialSuffix), InOutError);
  PartialFile file(destination, root + kPartialName);
  file.Write("new");
  file.Commit();
  EXPECT_EQ(testing::ReadAll(destination), "new");
  EXPECT_FALSE(FileExists(root + kPartialName));
}

TEST(Files, ErrorsCarryTheSystemText) {
  EXPECT_FALSE(SystemErrorText(ERROR_SHARING_VIOLATION).empty());
  testing::TempDir dir;
  try {
    File::OpenForAppend(dir.File("missing"));
    FAIL() << "opened a missing file";
  } catch (const InOutError& e) {
    EXPECT_EQ(e.Message(), SystemErrorText(ERROR_FILE_NOT_FOUND));
  }
}

}  // namespace
}  // namespace ulmar

#include <gtest/gtest.h>

#include <filesystem>

#include "inventory/crc32.h"
#include "inventory/scan.h"
#include "base/errors.h"
#include "unit/stepping_clock.h"
#include "unit/temp_dir.h"

namespace ulmar {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const std::vector<TLocalFileInfo>& files) {
  std::vector<std::string> names;
  for (const auto& f : files) names.push_back(f.FileName);
  return names;
}

TEST(ScanDir, TwoLevelsRootFirstLogsSkippedExactly) {
  testing::TempDir dir;
  const fs::path& r = dir.Path();
  fs::create_directories(r / "Bin" / "Sub");
  fs::create_directories(r / "Logs");
  fs::create_directories(r / "Empty");
  testing::WriteAll((r / "readme.txt").string(), "123456789");
  testing::WriteAll((r / "empty.dat").string(), "");
  testing::WriteAll((r / "Bin" / "lib.dll").string(), "x");
  testing::WriteAll((r / "Bin" / "Sub" / "deep.txt").string(), "x");
  testing::WriteAll((r / "Logs" / "short.log").string(), "x");
  // Downloads cut off before their move, under the short name and beside
  // their destination as earlier versions received them.
  testing::WriteAll((r / "download.ulmar-partial").string(), "x");
  testing::WriteAll((r / "Bin" / "lib.dll.ulmar-partial").string(), "x");
  auto files = ScanDir(r.string() + "\\");
  EXPECT_EQ(Names(files), (std::vector<std::string>{"empty.dat", "readme.txt", "Bin\\lib.dll"}));
  EXPECT_EQ(files[0].CRC, 0u);
  EXPECT_EQ(files[1].CRC, 0xCBF43926u);
}

TEST(ScanDir, OnlyTheFolderLogsSpelledExactlyIsSkipped) {
  for (const char* name : {"logs", "LOGS"}) {
    testing::TempDir dir;
    fs::create_directories(dir.Path() / name);
    testing::WriteAll((dir.Path() / name / "kept.log").string(), "x");
    auto files = ScanDir(dir.Path().string() + "\\");
    ASSERT_EQ(files.size(), 1u) << name;
    EXPECT_EQ(files[0].FileName, std::string(name) + "\\kept.log");
  }
  // A file of that name is an ordinary file of the installation.
  testing::TempDir dir;
  testing::WriteAll(dir.File("Logs"), "x");
  EXPECT_EQ(Names(ScanDir(dir.Path().string() + "\\")), std::vector<std::string>{"Logs"});
}

TEST(ScanDir, BeatsWhileALargeFileIsChecksummedNotOnlyBetweenFiles) {
  // Every step counts as 30 ms, more than a beat's due time: a file of four
  // read blocks is read with a beat after each block.
  testing::TempDir dir;
  testing::WriteAll(dir.File("big.dat"), std::string(3 * kCrcReadBlock + 1, 'b'));
  testing::SteppingClock clock(30);
  int beats = 0;
  Heartbeat heartbeat([&] { ++beats; }, clock.AsClock());
  ASSERT_EQ(ScanDir(dir.Path().string() + "\\", &heartbeat).size(), 1u);
  EXPECT_GE(beats, 4);
}

TEST(ScanDir, EmptyInstallationGivesAnEmptyList) {
  testing::TempDir dir;
  EXPECT_TRUE(ScanDir(dir.Path().string() + "\\").empty());
}

}  // namespace
}  // namespace ulmar

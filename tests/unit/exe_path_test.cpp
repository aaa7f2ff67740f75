#include <gtest/gtest.h>

#include "base/paths.h"

namespace ulmar {
namespace {

TEST(ExePath, DirectoryOfTheExecutableEndsWithOneBackslash) {
  struct Case {
    std::string module, dir;
  } cases[] = {
      {"C:\\UlmarUpdater.exe", "C:\\"},
      {"C:\\Ulmar\\UlmarUpdater.exe", "C:\\Ulmar\\"},
      {"D:\\a\\b\\x.exe", "D:\\a\\b\\"},
      {"\\\\server\\share\\x.exe", "\\\\server\\share\\"},
      {"x.exe", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(DirWithBackslash(c.module), c.dir) << c.module;
}

TEST(ExePath, ExtractFileDirKeepsOnlyADriveRootsBackslash) {
  EXPECT_EQ(ExtractFileDir("C:\\x.exe"), "C:\\");
  EXPECT_EQ(ExtractFileDir("C:\\a\\x.exe"), "C:\\a");
  EXPECT_EQ(ExtractFileDir("C:x.exe"), "C:");
}

}  // namespace
}  // namespace ulmar

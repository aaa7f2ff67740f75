// The scan and the checksums against Wine's real file system: attributes,
// sharing and the search's own order.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "inventory/crc32.h"
#include "inventory/scan.h"
#include "base/errors.h"
#include "unit/temp_dir.h"

namespace ulmar {
namespace {

namespace fs = std::filesystem;

TEST(ScanWin32, HiddenAndSystemTopFoldersAreSkippedHiddenFilesListed) {
  testing::TempDir dir;
  const std::string root = dir.Path().string() + "\\";
  for (const char* d : {"Hidden", "System", "Plain"}) fs::create_directory(dir.Path() / d);
  testing::WriteAll(root + "Hidden\\a.txt", "a");
  testing::WriteAll(root + "System\\b.txt", "b");
  testing::WriteAll(root + "Plain\\secret.ini", "c");
  testing::WriteAll(root + "Plain\\ro.txt", "d");
  testing::WriteAll(root + "top.sys", "e");
  SetFileAttributesA((root + "Hidden").c_str(), FILE_ATTRIBUTE_HIDDEN);
  SetFileAttributesA((root + "System").c_str(), FILE_ATTRIBUTE_SYSTEM);
  SetFileAttributesA((root + "Plain\\secret.ini").c_str(), FILE_ATTRIBUTE_HIDDEN);
  SetFileAttributesA((root + "Plain\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  SetFileAttributesA((root + "top.sys").c_str(), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN);
  std::vector<std::string> names;
  for (const auto& f : ScanDir(root)) names.push_back(f.FileName);
  EXPECT_EQ(names, (std::vector<std::string>{"top.sys", "Plain\\ro.txt", "Plain\\secret.ini"}));
  SetFileAttributesA((root + "Plain\\ro.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

void WriteWide(const std::wstring& path, const std::string& content) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(h);
}

TEST(ScanWin32, NamesCodePage1251CannotSpellAreLeftOutAndNamedNeverBestFitted) {
  testing::TempDir dir;
  const std::string root = dir.Path().string() + "\\";
  const std::wstring wide_root = dir.Path().wstring() + L"\\";
  WriteWide(wide_root + L"caf\u00e9.txt", "accented");  // no é in code page 1251
  WriteWide(wide_root + L"cafe.txt", "plain");
  WriteWide(wide_root + L"\u65e5\u672c.txt", "japanese");
  WriteWide(wide_root + L"\u041e\u0442\u0447\u0451\u0442.txt", "cyrillic");  // Отчёт.txt
  ASSERT_TRUE(CreateDirectoryW((wide_root + L"\u65e5").c_str(), nullptr));
  WriteWide(wide_root + L"\u65e5\\inner.txt", "inner");
  std::vector<std::string> left_out;
  std::vector<TLocalFileInfo> files = ScanDir(root, nullptr, &left_out);
  ASSERT_EQ(files.size(), 2u);
  const std::string cyrillic = "Отчёт.txt";
  std::vector<std::pair<std::string, uint32_t>> got;
  for (const auto& f : files) got.emplace_back(f.FileName, f.CRC);
  std::sort(got.begin(), got.end());
  uint32_t plain = 0xFFFFFFFFu, cyr = 0xFFFFFFFFu;
  UpdateCRC32("plain", 5, plain);
  UpdateCRC32("cyrillic", 8, cyr);
  EXPECT_EQ(got, (std::vector<std::pair<std::string, uint32_t>>{{"cafe.txt", plain ^ 0xFFFFFFFFu},
                                                                 {cyrillic, cyr ^ 0xFFFFFFFFu}}));
  std::sort(left_out.begin(), left_out.end());
  EXPECT_EQ(left_out, (std::vector<std::string>{"??.txt", "?\\", "caf?.txt"}));
}

TEST(ScanWin32, AFileHeldOpenForWritingFailsTheScanWithItsFullPath) {
  testing::TempDir dir;
  const std::string root = dir.Path().string() + "\\";
  fs::create_directory(dir.Path() / "Bin");
  testing::WriteAll(root + "a.txt", "a");
  testing::WriteAll(root + "Bin\\busy.dll", "b");
  HANDLE writer = CreateFileA((root + "Bin\\busy.dll").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  uint32_t crc = 0;
  EXPECT_FALSE(FileCRC32(root + "Bin\\busy.dll", &crc));
  try {
    ScanDir(root);
    FAIL() << "scan succeeded";
  } catch (const MException& e) {
    const std::string full = root + "Bin\\busy.dll";
    EXPECT_EQ(e.Message(), "Не удалось обработать файл \"" + full +
                               "\" (Не удалось подсчитать контрольную сумму для файла \"" + full + "\".)");
  }
  CloseHandle(writer);
  // A reader that shares reading does not stop the checksum.
  HANDLE reader = CreateFileA((root + "Bin\\busy.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  EXPECT_TRUE(FileCRC32(root + "Bin\\busy.dll", &crc));
  CloseHandle(reader);
}

TEST(ScanWin32, CyrillicNamesPassByteForByte) {
  testing::TempDir dir;
  const std::string root = dir.Path().string() + "\\";
  CreateDirectoryA((root + "Справка").c_str(), nullptr);
  testing::WriteAll(root + "Справка\\Руководство.txt", "123456789");
  auto files = ScanDir(root);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].FileName, "Справка\\Руководство.txt");
  EXPECT_EQ(files[0].CRC, 0xCBF43926u);
}

}  // namespace
}  // namespace ulmar

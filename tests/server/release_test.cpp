#include "release.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "inventory/crc32.h"
#include "server_test_support.h"
#include "unit/temp_dir.h"

namespace ulmar::server {
namespace {

namespace fs = std::filesystem;
using testing::U8;
using ulmar::testing::TempDir;
using ulmar::testing::ReadAll;
using ulmar::testing::WriteAll;

uint32_t Crc(const std::string& data) {
  uint32_t crc = 0xFFFFFFFFu;
  UpdateCRC32(data.data(), static_cast<uint32_t>(data.size()), crc);
  return ~crc;
}

class ReleaseFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = dir_.File("STUDENT");
    fs::create_directories(folder_ + "/files/Bin/Deep");
    fs::create_directories(folder_ + "/files/Logs");
    WriteAll(folder_ + "/manifest.txt", "ftp 127.0.0.1/student\ndelete Bin\\old.dll\n");
    Put("files/readme.txt", "read me");
    Put("files/Bin/lib.dll", "library");
    Put(U8(u8"files/Bin/Отчёт.frm"), "report");
    Put("files/Bin/Deep/too-deep.dll", "deep");
    Put("files/Logs/short.log", "log");
    Put("files/\xE6\x97\xA5\xE6\x9C\xAC.txt", "x");
  }
  void Put(const std::string& relative, const std::string& data) { WriteAll(folder_ + "/" + relative, data); }
  // Rewrites a file's contents and puts its modification time back.
  void Sneak(const std::string& relative, const std::string& data) {
    struct stat before {};
    ASSERT_EQ(stat((folder_ + "/" + relative).c_str(), &before), 0);
    Put(relative, data);
    timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, (folder_ + "/" + relative).c_str(), times, 0), 0);
  }

  TempDir dir_;
  std::string folder_;
};

TEST_F(ReleaseFolder, TheTreeIsReadToTheDepthClientsReportWithCp1251Names) {
  auto release = LoadRelease(folder_, "STUDENT", nullptr);
  std::vector<std::string> paths;
  for (const ReferenceFile& f : release->files) paths.push_back(f.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"Bin\\lib.dll", "Bin\\\xCE\xF2\xF7\xB8\xF2.frm", "readme.txt"}));
  EXPECT_EQ(release->files[0].crc, Crc("library"));
  EXPECT_EQ(release->files[2].crc, Crc("read me"));
  EXPECT_EQ(release->index.at("BIN\\\xCE\xD2\xD7\xA8\xD2.FRM"), 1u);
  EXPECT_EQ(release->manifest.ftp_servers, std::vector<std::string>{"127.0.0.1/student"});
  std::string warnings;
  for (const std::string& w : release->warnings) warnings += w + "\n";
  EXPECT_NE(warnings.find("Bin\\Deep: a folder below the first level"), std::string::npos) << warnings;
  EXPECT_NE(warnings.find("Logs: clients never report a top-level Logs folder"), std::string::npos) << warnings;
  EXPECT_NE(warnings.find(std::string("\xE6\x97\xA5\xE6\x9C\xAC.txt: the name cannot be spelled in code page 1251")), std::string::npos) << warnings;
  EXPECT_NE(warnings.find("UlmarUpdater.exe: no client build in the tree"), std::string::npos) << warnings;
}

TEST_F(ReleaseFolder, ChecksumsOfUnchangedFilesAreTakenOverNotReadAgain) {
  // The previous load's checksum is marked: a reload that takes it over
  // shows the mark, one that reads the file shows its real checksum.
  std::shared_ptr<Release> first = std::make_shared<Release>(*LoadRelease(folder_, "STUDENT", nullptr));
  first->files[2].crc = 0x12345678;
  EXPECT_EQ(LoadRelease(folder_, "STUDENT", first.get())->files[2].crc, 0x12345678u);
  // Same size and time, other contents written in place: the status-change
  // time tells.
  Sneak("files/readme.txt", "READ ME");
  EXPECT_EQ(LoadRelease(folder_, "STUDENT", first.get())->files[2].crc, Crc("READ ME"));
  // A copy that keeps size and times (cp -p, rsync -t) moved into place:
  // another inode.
  first = std::make_shared<Release>(*LoadRelease(folder_, "STUDENT", nullptr));
  first->files[2].crc = 0x12345678;
  const std::string path = folder_ + "/files/readme.txt";
  struct stat before {};
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  WriteAll(path + ".new", "Read Me");
  timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, (path + ".new").c_str(), times, 0), 0);
  fs::rename(path + ".new", path);
  EXPECT_EQ(LoadRelease(folder_, "STUDENT", first.get())->files[2].crc, Crc("Read Me"));
  // A change of size is always seen.
  Put("files/readme.txt", "read me again");
  EXPECT_EQ(LoadRelease(folder_, "STUDENT", first.get())->files[2].crc, Crc("read me again"));
}

TEST_F(ReleaseFolder, ANameWithAControlCharacterIsLeftOut) {
  Put("files/Bin/new\nline.dll", "x");
  auto release = LoadRelease(folder_, "STUDENT", nullptr);
  for (const ReferenceFile& f : release->files) EXPECT_EQ(f.path.find('\n'), std::string::npos) << f.path;
  std::string warnings;
  for (const std::string& w : release->warnings) warnings += w + "\n";
  EXPECT_NE(warnings.find("Bin\\new\\x0Aline.dll: a control character in the name, left out"), std::string::npos)
      << warnings;
}

TEST_F(ReleaseFolder, AnEntryOfTheReleasesFolderThatCannotBeReadIsLeftOutNotFatal) {
  const std::string root = dir_.Path().string();
  ASSERT_EQ(symlink("loop", (root + "/loop").c_str()), 0);  // a symlink loop
  std::vector<std::string> reports;
  ReleaseStore store(root, [&](const std::string& line) { reports.push_back(line); });
  store.Refresh();
  EXPECT_NE(store.Find("STUDENT"), nullptr);
  std::string all;
  for (const std::string& r : reports) all += r + "\n";
  EXPECT_NE(all.find("releases: loop: "), std::string::npos) << all;
}

TEST_F(ReleaseFolder, OfNamesDifferingOnlyInLetterCaseOneIsServed) {
  Put("files/Bin/LIB.DLL", "library in capitals");
  auto release = LoadRelease(folder_, "STUDENT", nullptr);
  ASSERT_EQ(release->files.size(), 3u);
  EXPECT_EQ(release->files[release->index.at("bin\\lib.dll")].path, "Bin\\LIB.DLL");
  std::string warnings;
  for (const std::string& w : release->warnings) warnings += w + "\n";
  EXPECT_NE(warnings.find("Bin\\lib.dll: differs from another name only in letter case"), std::string::npos) << warnings;
}

TEST_F(ReleaseFolder, ADeletionOfAReleaseFileIsRefused) {
  WriteAll(folder_ + "/manifest.txt", "delete BIN\\LIB.DLL\n");
  EXPECT_THROW(LoadRelease(folder_, "STUDENT", nullptr), ManifestError);
}

TEST_F(ReleaseFolder, TheStoreFindsSuitesInAnyCaseAndFollowsChanges) {
  std::vector<std::string> reports;
  ReleaseStore store(dir_.Path().string(), [&](const std::string& line) { reports.push_back(line); });
  store.Refresh();
  ASSERT_NE(store.Find("student"), nullptr);
  EXPECT_EQ(store.Find("TEACHER"), nullptr);
  auto before = store.Find("STUDENT");

  // Nothing changed: the same release stays in service.
  store.Refresh();
  EXPECT_EQ(store.Find("STUDENT"), before);

  Put("files/readme.txt", "a new readme");
  store.Refresh();
  auto after = store.Find("Student");
  ASSERT_NE(after, before);
  EXPECT_EQ(after->files[2].crc, Crc("a new readme"));

  // A broken manifest keeps the last good release in service.
  WriteAll(folder_ + "/manifest.txt", "nonsense\n");
  store.Refresh();
  EXPECT_EQ(store.Find("STUDENT"), after);
  EXPECT_NE(reports.back().find("line 1: unknown entry \"nonsense\"; the previous version stays in service"),
            std::string::npos)
      << reports.back();

  fs::remove_all(folder_);
  store.Refresh();
  EXPECT_EQ(store.Find("STUDENT"), nullptr);
}

TEST_F(ReleaseFolder, ARestartTakesTheChecksumsOfUnchangedFilesFromTheCache) {
  const std::string cache = dir_.File("checksums.cache");
  const std::string root = dir_.Path().string();
  auto quiet = [](const std::string&) {};
  {
    ReleaseStore store(root, quiet, cache);
    store.Refresh();
  }
  // The cache's checksum of readme.txt is marked: a store that takes it over
  // shows the mark, one that reads the file its real checksum.
  std::string text = ReadAll(cache);
  const std::string hex_path = "726561646d652e747874";  // readme.txt
  size_t at = text.find(hex_path);
  ASSERT_NE(at, std::string::npos) << text;
  size_t crc_at = at + hex_path.size() + 1;
  text.replace(crc_at, text.find(' ', crc_at) - crc_at, "305419896");  // 0x12345678
  WriteAll(cache, text);
  auto readme_crc = [&](ReleaseStore& store) {
    auto release = store.Find("STUDENT");
    return release->files[release->index.at("README.TXT")].crc;
  };
  {
    std::vector<std::string> reports;
    ReleaseStore store(root, [&](const std::string& l) { reports.push_back(l); }, cache);
    store.Refresh();
    EXPECT_EQ(readme_crc(store), 0x12345678u);
    EXPECT_EQ(reports.front().rfind("checksum cache: ", 0), 0u) << reports.front();
  }
  Sneak("files/readme.txt", "READ ME");
  {
    ReleaseStore store(root, quiet, cache);
    store.Refresh();
    EXPECT_EQ(readme_crc(store), Crc("READ ME"));
  }
  // A cache that does not read is no cache.
  WriteAll(cache, "nonsense\n");
  ReleaseStore store(root, quiet, cache);
  store.Refresh();
  EXPECT_EQ(readme_crc(store), Crc("READ ME"));
}

}  // namespace
}  // namespace ulmar::server

#include "verdict.h"

#include <gtest/gtest.h>

#include "server_test_support.h"

namespace ulmar::server {
namespace {

using testing::MakeRelease;
using Lines = std::vector<std::string>;

Manifest StudentManifest() {
  Manifest m;
  m.ftp_servers = {"127.0.0.1/student", "127.0.0.2"};
  m.keep_patterns = {"*.ini", "Data\\*"};
  m.deletions = {"Bin\\old.dll"};
  return m;
}

TEST(Verdict, OutdatedMissingForeignAndDeletedFilesAreToldApart) {
  auto release = MakeRelease({{"Bin\\Lib.dll", 0x11}, {"Forms\\main.frm", 0x22}, {"readme.txt", 0x33},
                              {"\xD0\xE0\xE1\xEE\xF2\xE0.doc", 0x44}},  // Работа.doc
                             StudentManifest());
  VerdictBuilder b(release);
  b.AddFile(0x11, "bin\\lib.DLL");                   // same file, other letter case: current
  b.AddFile(0x99, "README.TXT");                      // outdated: the client's spelling is the local path
  b.AddFile(0x01, "\xF0\xE0\xE1\xEE\xF2\xE0.DOC");   // работа.DOC, outdated
  b.AddFile(0x05, "junk.tmp");                        // foreign
  b.AddFile(0x06, "Bin\\user.INI");                   // kept
  b.AddFile(0x07, "Data\\orders.db");                 // kept
  b.AddFile(0x08, "bin\\OLD.dll");                    // deleted by force
  b.AddFile(0x09, "Bin\\x.dll.ulmar-partial");        // a download under way
  Verdict v = b.Finish();
  EXPECT_EQ(v.ftp_servers, (Lines{"127.0.0.1/student", "127.0.0.2"}));
  EXPECT_EQ(v.foreign_files, (Lines{"junk.tmp"}));
  EXPECT_EQ(v.files_to_update, (Lines{"readme.txt", "README.TXT", "\xD0\xE0\xE1\xEE\xF2\xE0.doc",
                                      "\xF0\xE0\xE1\xEE\xF2\xE0.DOC", "Forms\\main.frm", "Forms\\main.frm"}));
  EXPECT_EQ(v.files_to_delete, (Lines{"bin\\OLD.dll"}));
  EXPECT_TRUE(v.new_data_sources.empty());
}

TEST(Verdict, AFileReportedTwiceInOtherCaseCountsOnce) {
  auto release = MakeRelease({{"a.dll", 1}}, StudentManifest());
  VerdictBuilder b(release);
  b.AddFile(2, "a.dll");
  b.AddFile(2, "A.DLL");
  b.AddFile(3, "Bin\\old.dll");
  b.AddFile(3, "BIN\\OLD.DLL");
  Verdict v = b.Finish();
  EXPECT_EQ(v.files_to_update, (Lines{"a.dll", "a.dll"}));
  EXPECT_EQ(v.files_to_delete, (Lines{"Bin\\old.dll"}));
  EXPECT_TRUE(v.foreign_files.empty());
}

TEST(Verdict, TheClientsOwnExecutableIsStagedBesideIt) {
  Manifest m;
  m.client_path = "Updater\\UlmarUpdater.exe";
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, uint32_t>> inventory;
    Lines updates;
  } cases[] = {
      {"differs", {{"updater\\ulmarupdater.exe", 1}}, {"Updater\\UlmarUpdater.exe", "updater\\UlmarUpdater.exe.new"}},
      {"current", {{"Updater\\UlmarUpdater.exe", 7}}, {}},
      {"already staged", {{"Updater\\UlmarUpdater.exe", 1}, {"Updater\\ULMARUPDATER.EXE.NEW", 7}}, {}},
      {"stale staged copy", {{"Updater\\UlmarUpdater.exe", 1}, {"Updater\\UlmarUpdater.exe.new", 5}},
       {"Updater\\UlmarUpdater.exe", "Updater\\UlmarUpdater.exe.new"}},
      {"lives outside the installation", {}, {}},
  };
  for (const Case& c : cases) {
    VerdictBuilder b(MakeRelease({{"Updater\\UlmarUpdater.exe", 7}}, m));
    for (auto& [name, crc] : c.inventory) b.AddFile(crc, name);
    Verdict v = b.Finish();
    EXPECT_EQ(v.files_to_update, c.updates) << c.what;
    EXPECT_TRUE(v.foreign_files.empty()) << c.what;  // the staged name never is
  }
}

TEST(Verdict, DataSourcesTheClientLacksOrHasOtherwiseAreSent) {
  Manifest m;
  m.data_sources = {{"ULMAR", "ulmar", "dbsrv01", SystemDsn},
                    {"Reports", "reports", "dbsrv02", UserDsn},
                    {"STAFF", "C:\\ULMAR\\STAFF", "", ParadoxAlias},
                    {"Budget", "budget", "dbsrv01", SystemDsn}};
  VerdictBuilder b(MakeRelease({}, m));
  b.AddDataSource({"ulmar", "ULMAR", "DBSRV01", SystemDsn});        // the same, other letter case
  b.AddDataSource({"Reports", "reports", "old-server", UserDsn});   // other server
  b.AddDataSource({"STAFF", "C:\\ULMAR\\STAFF", "", UserDsn});      // other kind
  b.AddDataSource({"Private", "mine", "pc", UserDsn});              // not the release's business
  Verdict v = b.Finish();
  ASSERT_EQ(v.new_data_sources.size(), 3u);
  EXPECT_EQ(v.new_data_sources[0].Name, "Reports");
  EXPECT_EQ(v.new_data_sources[0].Server, "dbsrv02");
  EXPECT_EQ(v.new_data_sources[1].Name, "STAFF");
  EXPECT_EQ(v.new_data_sources[1].Kind, ParadoxAlias);
  EXPECT_EQ(v.new_data_sources[2].Name, "Budget");
}

TEST(Verdict, TheWireFormIsTheFiveListsInOrder) {
  Verdict v;
  v.ftp_servers = {"ftp1"};
  v.files_to_update = {"a\\b.dll", "a\\b.dll"};
  v.new_data_sources = {{"N", "D", "S", ParadoxAlias}};
  v.files_to_delete = {"x", "y"};
  EXPECT_EQ(EncodeVerdict(v), std::string("\0\0\0\1ftp1\r\n"
                                          "\0\0\0\0"
                                          "\0\0\0\1a\\b.dll\r\na\\b.dll\r\n"
                                          "\0\0\0\1\0\0\0\2N\r\nD\r\nS\r\n"
                                          "\0\0\0\2x\r\ny\r\n",
                                          4 + 6 + 4 + 4 + 18 + 4 + 4 + 9 + 4 + 6));
}

}  // namespace
}  // namespace ulmar::server

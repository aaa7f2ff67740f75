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
  ServerLists v = b.Finish();
  EXPECT_EQ(v.FtpServers, (Lines{"127.0.0.1/student", "127.0.0.2"}));
  EXPECT_EQ(v.ForeignFiles, (Lines{"junk.tmp"}));
  EXPECT_EQ(v.FilesToUpdate, (Lines{"readme.txt", "README.TXT", "\xD0\xE0\xE1\xEE\xF2\xE0.doc",
                                      "\xF0\xE0\xE1\xEE\xF2\xE0.DOC", "Forms\\main.frm", "Forms\\main.frm"}));
  EXPECT_EQ(v.FilesToDelete, (Lines{"bin\\OLD.dll"}));
  EXPECT_TRUE(v.NewDataSources.empty());
}

TEST(Verdict, AFileReportedTwiceInOtherCaseCountsOnce) {
  auto release = MakeRelease({{"a.dll", 1}}, StudentManifest());
  VerdictBuilder b(release);
  b.AddFile(2, "a.dll");
  b.AddFile(2, "A.DLL");
  b.AddFile(3, "Bin\\old.dll");
  b.AddFile(3, "BIN\\OLD.DLL");
  ServerLists v = b.Finish();
  EXPECT_EQ(v.FilesToUpdate, (Lines{"a.dll", "a.dll"}));
  EXPECT_EQ(v.FilesToDelete, (Lines{"Bin\\old.dll"}));
  EXPECT_TRUE(v.ForeignFiles.empty());
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
    ServerLists v = b.Finish();
    EXPECT_EQ(v.FilesToUpdate, c.updates) << c.what;
    EXPECT_TRUE(v.ForeignFiles.empty()) << c.what;  // the staged name never is
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
  ServerLists v = b.Finish();
  ASSERT_EQ(v.NewDataSources.size(), 3u);
  EXPECT_EQ(v.NewDataSources[0].Name, "Reports");
  EXPECT_EQ(v.NewDataSources[0].Server, "dbsrv02");
  EXPECT_EQ(v.NewDataSources[1].Name, "STAFF");
  EXPECT_EQ(v.NewDataSources[1].Kind, ParadoxAlias);
  EXPECT_EQ(v.NewDataSources[2].Name, "Budget");
}

TEST(Verdict, TheWireFormIsTheFiveListsInOrder) {
  ServerLists v;
  v.FtpServers = {"ftp1"};
  v.FilesToUpdate = {"a\\b.dll", "a\\b.dll"};
  v.NewDataSources = {{"N", "D", "S", ParadoxAlias}};
  v.FilesToDelete = {"x", "y"};
  EXPECT_EQ(wire::EncodeServerLists(v), std::string("\0\0\0\1ftp1\r\n"
                                          "\0\0\0\0"
                                          "\0\0\0\1a\\b.dll\r\na\\b.dll\r\n"
                                          "\0\0\0\1\0\0\0\2N\r\nD\r\nS\r\n"
                                          "\0\0\0\2x\r\ny\r\n",
                                          4 + 6 + 4 + 4 + 18 + 4 + 4 + 9 + 4 + 6));
}

}  // namespace
}  // namespace ulmar::server

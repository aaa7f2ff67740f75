#include "manifest.h"

#include <gtest/gtest.h>

#include "server_test_support.h"

namespace ulmar::server {
namespace {

using testing::U8;

TEST(Manifest, EveryEntryIsReadAndConvertedToTheWireCodePage) {
  Manifest m = ParseManifest(U8(u8"\uFEFF# the student suite\n"
                                u8"ftp 127.0.0.1/ulmar/student\r\n"
                                u8"ftp  mirror2.university.local \n"
                                u8"\n"
                                u8"client Updater\\UlmarUpdater.exe\n"
                                u8"dsn system ULMAR_MAIN | ulmar | dbsrv01\n"
                                u8"dsn user Отчёты|reports|\n"
                                u8"dsn paradox КАДРЫ | C:\\ULMAR\\Кадры\n"
                                u8"delete Bin\\old.dll\n"
                                u8"keep Logs\\*\n"
                                u8"keep *.ini\n"));
  EXPECT_EQ(m.ftp_servers, (std::vector<std::string>{"127.0.0.1/ulmar/student", "mirror2.university.local"}));
  EXPECT_EQ(m.client_path, "Updater\\UlmarUpdater.exe");
  ASSERT_EQ(m.data_sources.size(), 3u);
  EXPECT_EQ(m.data_sources[0].Kind, SystemDsn);
  EXPECT_EQ(m.data_sources[0].Name, "ULMAR_MAIN");
  EXPECT_EQ(m.data_sources[0].Database, "ulmar");
  EXPECT_EQ(m.data_sources[0].Server, "dbsrv01");
  EXPECT_EQ(m.data_sources[1].Kind, UserDsn);
  EXPECT_EQ(m.data_sources[1].Name, "\xCE\xF2\xF7\xB8\xF2\xFB");
  EXPECT_EQ(m.data_sources[1].Server, "");
  EXPECT_EQ(m.data_sources[2].Kind, ParadoxAlias);
  EXPECT_EQ(m.data_sources[2].Name, "\xCA\xC0\xC4\xD0\xDB");
  EXPECT_EQ(m.data_sources[2].Database, "C:\\ULMAR\\\xCA\xE0\xE4\xF0\xFB");
  EXPECT_EQ(m.deletions, (std::vector<std::string>{"Bin\\old.dll"}));
  EXPECT_EQ(m.keep_patterns, (std::vector<std::string>{"Logs\\*", "*.ini"}));
}

TEST(Manifest, AnEmptyManifestHandsOutNothingAndKeepsTheDefaultClientPath) {
  Manifest m = ParseManifest("# nothing yet\n");
  EXPECT_TRUE(m.ftp_servers.empty());
  EXPECT_EQ(m.client_path, "UlmarUpdater.exe");
}

TEST(Manifest, UnusableLinesAreRefusedWithTheirNumber) {
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {"ftp a\nmirror b\n", "line 2: unknown entry \"mirror\""},
      {"dsn odbc X | y | z\n", "line 1: data-source kind \"odbc\" is none of system, user, paradox"},
      {"dsn system X | y\n", "line 1: expected: dsn system <name> | <database> | <server>"},
      {"dsn paradox X | y | z\n", "line 1: expected: dsn paradox <name> | <directory>"},
      {"dsn user  | y | z\n", "line 1: expected: dsn user <name> | <database> | <server>"},
      {"dsn user A|b|c\ndsn user a|d|e\n", "line 2: data source \"a\" is named twice"},
      {"delete ..\\..\\windows\\win.ini\n", "line 1: path \"..\\..\\windows\\win.ini\": "},
      {"delete C:\\boot.ini\n", "line 1: path \"C:\\boot.ini\": "},
      {"delete Bin/old.dll\n", "line 1: path \"Bin/old.dll\": use backslashes"},
      {"delete\n", "line 1: a path is missing"},
      {"client a.exe\n", "line 1: the client's file is named UlmarUpdater.exe"},
      {"client UlmarUpdater.exe\nclient UlmarUpdater.exe\n", "line 2: a second client entry"},
      {"ftp two words\n", "line 1: expected: ftp <host>[/<directory>]"},
      {"keep\n", "line 1: a pattern is missing"},
      {"keep \xE6\x97\xA5\xE6\x9C\xAC\n", "line 1: not UTF-8, or a character that code page 1251 cannot spell"},
  };
  for (const Case& c : cases) {
    try {
      ParseManifest(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const ManifestError& e) {
      EXPECT_EQ(std::string(e.what()).substr(0, c.message.size()), c.message) << c.text;
    }
  }
}

}  // namespace
}  // namespace ulmar::server

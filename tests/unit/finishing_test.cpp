// Forced deletion, data sources, the finishing sequence and the clean-up
// dialog, in whole sessions against a scripted update server.
#include <gtest/gtest.h>

#include "apply/cleanup.h"
#include "apply/deletion.h"
#include "apply/finishing.h"
#include "platform/file.h"
#include "wire/elements.h"
#include "unit/held_file.h"
#include "unit/loopback.h"
#include "unit/session_fixture.h"
#include "unit/wire_sizes.h"

namespace ulmar {
namespace {

using Peer = testing::ScriptedPeer;
using Strings = std::vector<std::string>;
constexpr auto HKLM = RegistryRoot::LocalMachine;
constexpr auto HKCU = RegistryRoot::CurrentUser;

std::string Int(int32_t v) { return wire::EncodeInt32(v); }
std::string Line(const std::string& s) { return s + "\r\n"; }

class FinishingTest : public testing::SessionFixture {
 public:
  // A whole session whose server answers with these lists (nothing to
  // download).
  void RunWith(const Strings& foreign, const std::string& sources, const Strings& to_delete) {
    std::string reply = Int(0) + Int(static_cast<int32_t>(foreign.size()));
    for (const auto& f : foreign) reply += Line(f);
    reply += Int(0) + sources + Int(static_cast<int32_t>(to_delete.size()));
    for (const auto& d : to_delete) reply += Line(d);
    Peer peer({Peer::Receive(testing::kOpening.size()), Peer::Send(testing::kServerId), Peer::ReceiveLines(2),
               Peer::Receive(testing::kEmptyInventory), Peer::Send(reply), Peer::ReceiveAll()});
    Run(peer.Port());
  }
  bool Shown(const std::string& call) {
    return std::find(display.calls.begin(), display.calls.end(), call) != display.calls.end();
  }
  std::string Value(RegistryRoot root, const std::string& path, const std::string& name) {
    const auto* v = registry.Get(root, path, name);
    return v ? v->data : "<none>";
  }
};

TEST_F(FinishingTest, ASuccessfulSessionEndsGreenWritesTheDateAndCountsDown) {
  Install();
  ini_files.writable_folders_of = {kShortcutPath1};
  RunWith({}, Int(0), {});
  Strings tail(display.calls.end() - 4, display.calls.end());
  EXPECT_EQ(tail, (Strings{"overall 95", "success Обновление успешно завершено!", "overall 100", "countdown"}));
  Strings events = Events();
  EXPECT_EQ(Strings(events.end() - 2, events.end()), (Strings{"Обновлено 0 из 0", "Обновление завершено"}));
  EXPECT_FALSE(log.IsOpen());
  EXPECT_EQ(Value(HKLM, "SOFTWARE\\ULMAR", "LastUpdated"), "08.12.2026");
  EXPECT_EQ(Value(HKLM, kRunKey, "UlmarUpdater"), install_dir + "\\UlmarUpdater.exe");
  EXPECT_EQ(processes.started, (Strings{exe_dir + "replace_ux.exe"}));
  EXPECT_EQ(ini_files.ini.at(std::string(kShortcutPath1) + "|InternetShortcut|URL"),
            "http://support.test/page/support/ulmar");
}

TEST_F(FinishingTest, ForeignFilesGetTheCleanUpOfferInsteadOfTheCountdown) {
  Install();
  RunWith({"a\\x.tmp", "b.log"}, Int(0), {});
  EXPECT_EQ(display.calls.back(), "cleanup offer");
  EXPECT_FALSE(Shown("countdown"));
  EXPECT_EQ(display.offered_files, (Strings{"a\\x.tmp", "b.log"}));
  EXPECT_EQ(display.offered_install_dir, install_dir + "\\");
}

TEST_F(FinishingTest, AMissingCompanionEndsTheSessionRedWithoutTheDate) {
  Install();
  processes.companion_starts = false;
  RunWith({}, Int(0), {});
  EXPECT_EQ(display.calls.back(), "failure Репликатор не смог обновить себя!");
  EXPECT_EQ(Events().back(), "Репликатор не смог обновить себя");
  EXPECT_EQ(Value(HKLM, "SOFTWARE\\ULMAR", "LastUpdated"), "<none>");
  EXPECT_FALSE(Shown("countdown"));
}

TEST_F(FinishingTest, AStandardUserEndsGreenWithWhatTheMachinesHiveRefusesLeftAlone) {
  // Installed under a folder with a blank; the installer wrote the Run value
  // unquoted. HKEY_LOCAL_MACHINE refuses every write.
  install_dir = dir.Path().string() + "/Program Files/ULMAR";
  std::filesystem::create_directories(install_dir + "/podderzka");
  testing::WriteAll(install_dir + "/podderzka/Новости.html", "old news");
  Install();
  registry.SetString(HKLM, kRunKey, "UlmarUpdater", install_dir + "\\UlmarUpdater.exe");
  registry.standard_user = odbc.standard_user = true;
  RunWith({}, Int(1) + Int(0) + Line("Reports") + Line("uchet") + Line("db1"), {});
  EXPECT_EQ(display.calls.back(), "countdown");
  EXPECT_TRUE(Shown("success Обновление успешно завершено!"));
  EXPECT_EQ(processes.started, (Strings{exe_dir + "replace_ux.exe"}));
  EXPECT_EQ(Value(HKLM, kRunKey, "UlmarUpdater"), install_dir + "\\UlmarUpdater.exe");
  EXPECT_EQ(Value(HKLM, "SOFTWARE\\ULMAR", "LastUpdated"), "<none>");
  EXPECT_FALSE(std::filesystem::exists(install_dir + "/podderzka/Новости.html"));
  Strings events = Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "Не удалось создать источник данных Reports"), events.end());
}

TEST_F(FinishingTest, AStandardUserWhoseRunValueReallyDiffersGetsTheRegistryError) {
  Install();
  registry.SetString(HKLM, kRunKey, "UlmarUpdater", "C:\\Old\\UlmarUpdater.exe");
  registry.standard_user = true;
  try {
    RunWith({}, Int(0), {});
    FAIL() << "the refused write went unnoticed";
  } catch (const RegistryError& e) {
    EXPECT_EQ(e.Message(), "Failed to set data for 'UlmarUpdater'");
  }
  EXPECT_TRUE(processes.started.empty());
  EXPECT_EQ(Value(HKLM, kRunKey, "UlmarUpdater"), "C:\\Old\\UlmarUpdater.exe");
}

TEST_F(FinishingTest, ForcedDeletionDeletesInsideAndReportsWhatItRefuses) {
  Install();
  testing::WriteAll(install_dir + "/a.txt", "a");
  testing::WriteAll(install_dir + "/read-only.dll", "r");
  std::filesystem::permissions(install_dir + "/read-only.dll", std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  testing::WriteAll(dir.File("outside.txt"), "keep");
  std::filesystem::create_directories(install_dir + "/folder");
  RunWith({}, Int(0), {"a.txt", "read-only.dll", "missing.txt", "..\\outside.txt", "folder"});
  EXPECT_FALSE(std::filesystem::exists(install_dir + "/a.txt"));
  EXPECT_FALSE(std::filesystem::exists(install_dir + "/read-only.dll"));
  EXPECT_EQ(testing::ReadAll(dir.File("outside.txt")), "keep");
  EXPECT_TRUE(std::filesystem::is_directory(install_dir + "/folder"));
  EXPECT_TRUE(Shown("failure Ошибка принудительного удаления файла: ..\\outside.txt"));
  Strings events = Events();
  EXPECT_NE(std::find_if(events.begin(), events.end(),
                         [](const std::string& e) {
                           return e.rfind("Ошибка принудительного удаления файла: ..\\outside.txt (", 0) == 0;
                         }),
            events.end());
  // A later success turns the box green all the same.
  EXPECT_EQ(display.calls.back(), "countdown");
}

// The date's write refused after the key opened (another program deleted
// it meanwhile): the error leaves the session, for the window's default
// error box, after the success was shown.
TEST_F(FinishingTest, ARefusedLastUpdatedLeavesTheSessionAfterItsSuccess) {
  Install();
  registry.AddKey(HKLM, "SOFTWARE\\ULMAR").refuses_values = true;
  try {
    RunWith({}, Int(0), {});
    FAIL() << "the refused write went unnoticed";
  } catch (const RegistryError& e) {
    EXPECT_EQ(e.Message(), "Failed to set data for 'LastUpdated'");
  }
  EXPECT_TRUE(Shown("success Обновление успешно завершено!"));
  EXPECT_FALSE(Shown("countdown"));
}

// Both files are read-only: the deleted one goes all the same, the held one
// stays read-only.
TEST_F(FinishingTest, ForcedDeletionKeepsAHeldFileAsItWasAndShowsItsProgressForAnyList) {
  Install();
  log.start_log(exe_dir + "Logs\\short.log");
  const std::string root = install_dir + "/";
  std::filesystem::create_directories(root);
  for (const char* name : {"held.dll", "gone.txt"}) {
    testing::WriteAll(root + name, "x");
    ASSERT_TRUE(SetReadOnly(root + name));
  }
  {
    testing::Holder scanner(root + "held.dll");
    DeleteFilesByForce(reporter, root, {"held.dll", "gone.txt"});
  }
  EXPECT_TRUE(std::filesystem::exists(root + "held.dll"));
  EXPECT_TRUE(IsReadOnly(root + "held.dll"));
  ASSERT_TRUE(ClearReadOnly(root + "held.dll"));  // so the folder can be removed
  EXPECT_FALSE(std::filesystem::exists(root + "gone.txt"));
  EXPECT_EQ(display.calls,
            (Strings{"stage 100", "overall 80", "failure Ошибка принудительного удаления файла: held.dll", "stage 0"}));
  display.calls.clear();
  DeleteFilesByForce(reporter, root, {});
  EXPECT_EQ(display.calls, (Strings{"stage 100", "overall 80", "stage 0"}));
  log.CloseLog();
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0].rfind("Ошибка принудительного удаления файла: held.dll (", 0), 0u);
}

TEST_F(FinishingTest, DataSourcesAreReplacedInOrderWithProgress) {
  Install();
  const std::string dsn = "Software\\ODBC\\ODBC.INI\\Main";
  registry.SetString(HKCU, dsn, "Driver", "SQLSRV32.dll");
  registry.SetString(HKCU, dsn, "Encrypt", "Yes");
  aliases.AddParadoxAlias("Reports", "C:\\Reports");
  aliases.AddParadoxAlias("books", "C:\\Old");
  const std::string sources = Int(3) + Int(1) + Line("Main") + Line("uchet") + Line("db1") + Int(2) + Line("Books") +
                              Line("C:\\New") + Line("") + Int(3) + Line("Other") + Line("") + Line("");
  RunWith({}, sources, {});
  ASSERT_EQ(odbc.calls.size(), 2u);
  EXPECT_EQ(odbc.calls[0].request, 3);
  EXPECT_EQ(odbc.calls[0].driver, "SQL Server");
  EXPECT_EQ(odbc.calls[0].attributes, std::string("DSN=Main\0\0\0", 11));
  EXPECT_EQ(odbc.calls[1].request, 1);
  EXPECT_EQ(odbc.calls[1].attributes,
            std::string("DSN=Main\0Database=uchet\0Server=db1\0Network=DBMSSOCN\0\0", 53));
  EXPECT_EQ(Value(HKCU, dsn, "Encrypt"), "<none>");
  // The alias whose name differs only in letter case is replaced, and the
  // configuration file saved once, with the session's mode restored.
  EXPECT_EQ(aliases.saves, 1);
  ASSERT_EQ(aliases.saved.size(), 2u);
  EXPECT_EQ(aliases.saved[0].name, "Reports");
  EXPECT_EQ(aliases.saved[1].name, "Books");
  EXPECT_EQ(aliases.saved[1].params,
            (Strings{"TYPE=STANDARD", "PATH=C:\\New", "ENABLE BCD=FALSE", "DEFAULT DRIVER=PARADOX"}));
  EXPECT_EQ(aliases.mode, AliasConfig::Mode::All);
  auto stage = std::find(display.calls.begin(), display.calls.end(), "stage 33");
  ASSERT_NE(stage, display.calls.end());
  EXPECT_EQ(Strings(stage, stage + 4), (Strings{"stage 33", "stage 67", "stage 100", "stage 100"}));
  EXPECT_EQ(display.calls.back(), "countdown");
}

TEST_F(FinishingTest, AFailedDsnCreationIsLoggedAndTheSessionGoesOn) {
  Install();
  odbc.succeed = false;
  RunWith({}, Int(1) + Int(0) + Line("Sys") + Line("d") + Line("s"), {});
  Strings events = Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "Не удалось создать источник данных Sys"), events.end());
  EXPECT_EQ(odbc.calls.back().request, 4);
  EXPECT_EQ(display.calls.back(), "countdown");
}

TEST_F(FinishingTest, AnEngineErrorEndsTheSessionWithTheAliasFailure) {
  Install();
  // The configuration reads fine but cannot be saved.
  aliases.save_refused = "Cannot write to the configuration file.";
  RunWith({}, Int(1) + Int(2) + Line("Books") + Line("C:\\B") + Line(""), {});
  EXPECT_EQ(display.calls.back(), "failure Ошибка при создании алиаса");
  Strings events = Events();
  EXPECT_EQ(events.at(events.size() - 2), "Ошибка при создании алиасаBooks");
  EXPECT_EQ(events.back(), "Cannot write to the configuration file.");
  // The session's configuration mode is back to all modes all the same.
  EXPECT_EQ(aliases.mode, AliasConfig::Mode::All);
}

TEST_F(FinishingTest, TheSupportShortcutIsRewrittenOnlyWhenDifferentAndFallsBackToItsSecondPlace) {
  Install();
  const std::string url = "http://support.test/page/support/ulmar";
  ini_files.ini[std::string(kShortcutPath1) + "|InternetShortcut|URL"] = url;
  RunWith({}, Int(0), {});
  EXPECT_TRUE(ini_files.writes.empty());
}

TEST_F(FinishingTest, AMissingFirstShortcutFolderUsesTheSecondPlace) {
  Install();
  ini_files.writable_folders_of = {kShortcutPath2};
  RunWith({}, Int(0), {});
  EXPECT_EQ(ini_files.writes, (Strings{kShortcutPath2}));
}

TEST(Autorun, RewrittenOnlyWhenDifferentAndQuotedWithBlanks) {
  testing::FakeRegistry registry;
  registry.AddKey(HKLM, kRunKey);
  RegisterAutorun(registry, "C:\\U\\UlmarUpdater.exe");
  EXPECT_EQ(registry.Get(HKLM, kRunKey, "UlmarUpdater")->data, "C:\\U\\UlmarUpdater.exe");
  int writes = 0;
  registry.on_open = [&](RegistryRoot, const std::string&) { ++writes; };
  RegisterAutorun(registry, "C:\\U\\UlmarUpdater.exe");
  EXPECT_EQ(writes, 1);  // read only
  RegisterAutorun(registry, "C:\\u\\UlmarUpdater.exe");
  EXPECT_EQ(writes, 3);  // case counts: read, then write
  RegisterAutorun(registry, "C:\\Program Files\\U\\UlmarUpdater.exe");
  EXPECT_EQ(registry.Get(HKLM, kRunKey, "UlmarUpdater")->data, "\"C:\\Program Files\\U\\UlmarUpdater.exe\"");
  // The installer's unquoted form of the same path is left as it is.
  registry.SetString(HKLM, kRunKey, "UlmarUpdater", "C:\\Program Files\\U\\UlmarUpdater.exe");
  writes = 0;
  RegisterAutorun(registry, "C:\\Program Files\\U\\UlmarUpdater.exe");
  EXPECT_EQ(writes, 1);
  EXPECT_EQ(registry.Get(HKLM, kRunKey, "UlmarUpdater")->data, "C:\\Program Files\\U\\UlmarUpdater.exe");
}

class RecordingCleanupView : public CleanupView {
 public:
  Strings calls;
  void ClearStatus() override { calls.push_back("clear"); }
  void ShowStatus(const std::string& text) override { calls.push_back("status " + text); }
  void ShowConfirmation() override { calls.push_back("confirmation"); }
  void HideConfirmation() override { calls.push_back("hide confirmation"); }
  void Warning(const std::string& text) override { calls.push_back("warning " + text); }
  void CloseWindow() override { calls.push_back("close"); }
};

TEST(Cleanup, ListsFullPathsThenDeletesWarnsAndCloses) {
  testing::TempDir dir;
  const std::string install = dir.Path().string() + "/";
  testing::WriteAll(install + "b.log", "x");
  // Confirmed by the operator: read-only or not, it goes.
  std::filesystem::permissions(install + "b.log", std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  RecordingCleanupView view;
  ShowForeignFiles(view, {"a\\x.tmp", "b.log"}, "C:\\U\\");
  EXPECT_EQ(view.calls,
            (Strings{"clear",
                     "status Следующие файлы в рабочей директории системы УЛМАР не принадлежат системе и должны быть "
                     "удалены: ",
                     "status ", "status C:\\U\\a\\x.tmp", "status C:\\U\\b.log", "status ",
                     "status Если хотите удалить файлы сейчас, нажмите кнопку \"Да\" иначе - \"Закрыть\"",
                     "confirmation"}));
  view.calls.clear();
  DeleteForeignFiles(view, {"missing.txt", "b.log", "..\\escape.txt"}, install);
  EXPECT_FALSE(std::filesystem::exists(install + "b.log"));
  EXPECT_EQ(view.calls,
            (Strings{"warning Не удаётся удалить файл \"..\\escape.txt\"; возможно, в данный момент он открыт. ",
                     "clear", "hide confirmation", "close"}));
}

TEST(Cleanup, EveryFileAnotherProgramHoldsGetsItsOwnWarningInOrder) {
  testing::TempDir dir;
  const std::string install = dir.Path().string() + "/";
  for (const char* name : {"one.tmp", "two.tmp", "free.tmp"}) testing::WriteAll(install + name, "x");
  RecordingCleanupView view;
  {
    testing::Holder first(install + "one.tmp");
    testing::Holder second(install + "two.tmp");
    DeleteForeignFiles(view, {"one.tmp", "free.tmp", "two.tmp"}, install);
  }
  EXPECT_TRUE(std::filesystem::exists(install + "one.tmp"));
  EXPECT_TRUE(std::filesystem::exists(install + "two.tmp"));
  EXPECT_FALSE(std::filesystem::exists(install + "free.tmp"));
  EXPECT_EQ(view.calls, (Strings{"warning Не удаётся удалить файл \"one.tmp\"; возможно, в данный момент он открыт. ",
                                 "warning Не удаётся удалить файл \"two.tmp\"; возможно, в данный момент он открыт. ",
                                 "clear", "hide confirmation", "close"}));
}

}  // namespace
}  // namespace ulmar

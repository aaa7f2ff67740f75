// The download stage over a scripted FTP server.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

#include "apply/download.h"
#include "platform/file.h"
#include "platform/system_error.h"
#include "unit/ftp_script.h"
#include "unit/held_file.h"
#include "unit/loopback.h"
#include "unit/session_fixture.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace ulmar {
namespace {

using Calls = std::vector<std::string>;

class DownloadTest : public testing::SessionFixture {
 protected:
  std::optional<Downloaded> Download(const ServerLists& lists, uint16_t ftp_port) {
    Network network = NetworkAt(testing::ClosedPort());
    network.ftp_port = ftp_port;
    return DownloadFiles(reporter, machine, network, lists);
  }
};

// A count below one fetches nothing and asks no server, whatever the lists
// hold.
TEST_F(DownloadTest, ACountBelowOneAsksNoServer) {
  Install();
  for (int count : {0, -1}) {
    display.calls.clear();
    ServerLists lists;
    lists.UpdateCount = count;
    lists.FtpServers = {"127.0.0.1"};
    lists.FilesToUpdate = {"f.txt", "f.txt"};
    std::optional<Downloaded> done = Download(lists, testing::ClosedPort());
    ASSERT_TRUE(done) << count;
    EXPECT_EQ(done->fetched, 0);
    EXPECT_EQ(display.calls, (Calls{"stage 100", "overall 50", "stage 0"})) << count;
  }
}

// Three files: after each, the stage's progress and its line; the total
// after the last.
TEST_F(DownloadTest, EachFileShowsItsShareOfTheStageThenItsLine) {
  using P = testing::ScriptedPeer;
  Install();
  std::filesystem::create_directories(install_dir);
  P first({P::Send("one"), P::Close()});
  P second({P::Send("two"), P::Close()});
  P third({P::Send("three"), P::Close()});
  std::vector<P::Step> script = testing::LoginScript();
  for (P* data : {&first, &second, &third}) {
    script = testing::Then(script, {P::ReceiveLines(1), P::Send("250 OK\r\n"), P::ReceiveLines(1),
                                    P::Send(testing::PasvReply(127, 0, 0, 1, data->Port())), P::ReceiveLines(1),
                                    P::Send("150 Opening\r\n226 Done\r\n")});
  }
  P control(testing::Then(script, {P::ReceiveAll()}));
  ServerLists lists;
  lists.UpdateCount = 3;
  lists.FtpServers = {"127.0.0.1"};
  lists.FilesToUpdate = {"a.txt", "a.txt", "b.txt", "b.txt", "c.txt", "c.txt"};
  std::optional<Downloaded> done = Download(lists, control.Port());
  ASSERT_TRUE(done);
  EXPECT_EQ(done->fetched, 3);
  EXPECT_EQ(testing::ReadAll(install_dir + "/c.txt"), "three");
  EXPECT_EQ(display.calls, (Calls{"stage 100", "overall 50", "stage 0", "status Получили информацию, начинаем скачивать",
                                  "stage 33", "status       принят файл: a.txt", "stage 67",
                                  "status       принят файл: b.txt", "stage 100", "status       принят файл: c.txt",
                                  "status    всего cкачано файлов: 3"}));
}

// The system's codes for the refusals below.
#ifdef _WIN32
constexpr unsigned long kAlreadyExists = ERROR_ALREADY_EXISTS;
constexpr unsigned long kHeld = ERROR_SHARING_VIOLATION;
#else
constexpr unsigned long kAlreadyExists = EEXIST;
constexpr unsigned long kHeld = EBUSY;
#endif

// A destination that cannot be written fails before the server is asked
// for the file (no PASV): the server's directory is still changed as ever,
// the old file stays as it was, read-only attribute included, and the log
// says the system's reason, not one a later look at the disk gave.
struct RefusedDestination {
  const char* name;
  const char* destination;
  // Prepares the installation folder; returns what holds a file meanwhile.
  std::unique_ptr<testing::Holder> (*prepare)(const std::string& root);
  unsigned long reason;
};

const RefusedDestination kRefusedDestinations[] = {
    {"FileWhereAFolderMustBe", "a\\b\\f.txt",
     [](const std::string& root) -> std::unique_ptr<testing::Holder> {
       testing::WriteAll(root + "/a", "a file");
       return nullptr;
     },
     kAlreadyExists},
    {"ReadOnlyDestinationAnotherProgramHolds", "f.txt",
     [](const std::string& root) {
       testing::WriteAll(root + "/f.txt", "old");
       EXPECT_TRUE(SetReadOnly(root + "/f.txt"));
       return std::make_unique<testing::Holder>(root + "/f.txt");
     },
     kHeld},
#ifndef _WIN32
    // Natively a folder without its owner's write permission stands for one
    // the user may not write (under Wine, root writes anywhere).
    {"NewFileInAFolderTheUserMayNotWrite", "Forms\\new.txt",
     [](const std::string& root) -> std::unique_ptr<testing::Holder> {
       std::filesystem::create_directories(root + "/Forms");
       std::filesystem::permissions(root + "/Forms", std::filesystem::perms::owner_write,
                                    std::filesystem::perm_options::remove);
       return nullptr;
     },
     EACCES},
#endif
};

void PrintTo(const RefusedDestination& c, std::ostream* os) { *os << c.name; }

class RefusedDestinationTest : public DownloadTest, public ::testing::WithParamInterface<RefusedDestination> {};

TEST_P(RefusedDestinationTest, FailsBeforeTheTransfer) {
  using P = testing::ScriptedPeer;
  const RefusedDestination& c = GetParam();
  Install();
  std::filesystem::create_directories(install_dir);
  log.start_log(dir.File("client/Logs/short.log"));
  std::unique_ptr<testing::Holder> holder = c.prepare(install_dir);
  P control(testing::Then(testing::LoginScript(), {P::ReceiveLines(1), P::Send("250 OK\r\n"), P::ReceiveAll()}));
  ServerLists lists;
  lists.UpdateCount = 1;
  lists.FtpServers = {"127.0.0.1"};
  lists.FilesToUpdate = {"f.txt", c.destination};
  EXPECT_FALSE(Download(lists, control.Port()));
  control.WaitUntilClosed();
  holder.reset();
  const std::string received = control.Received();
  EXPECT_EQ(received.substr(received.find("SYST\r\n") + 6), "CWD /\r\nQUIT\r\n");
  EXPECT_EQ(Calls(display.calls.end() - 2, display.calls.end()),
            (Calls{"status    всего cкачано файлов: 0", "failure Ошибка при записи файла на диск"}));
  log.CloseLog();
  EXPECT_EQ(Events().back(), SystemErrorText(c.reason));
  if (c.reason == kHeld) {
    EXPECT_EQ(testing::ReadAll(install_dir + "/f.txt"), "old");
    EXPECT_TRUE(IsReadOnly(install_dir + "/f.txt"));
    ASSERT_TRUE(ClearReadOnly(install_dir + "/f.txt"));  // so the folder can be removed
  }
}

INSTANTIATE_TEST_SUITE_P(Download, RefusedDestinationTest, ::testing::ValuesIn(kRefusedDestinations),
                         [](const ::testing::TestParamInfo<RefusedDestination>& info) { return info.param.name; });

// A read-only destination whose transfer fails (the server refuses the
// file) keeps its contents and gets its attribute back.
TEST_F(DownloadTest, AReadOnlyDestinationWhoseTransferFailsIsLeftAsItWas) {
  using P = testing::ScriptedPeer;
  Install();
  std::filesystem::create_directories(install_dir);
  const std::string destination = install_dir + "/f.txt";
  testing::WriteAll(destination, "old");
  ASSERT_TRUE(SetReadOnly(destination));
  log.start_log(dir.File("client/Logs/short.log"));
  P data({P::ReceiveAll()});
  P control(testing::Then(testing::LoginScript(),
                          {P::ReceiveLines(1), P::Send("250 OK\r\n"), P::ReceiveLines(1),
                           P::Send(testing::PasvReply(127, 0, 0, 1, data.Port())), P::ReceiveLines(1),
                           P::Send("550 No such file.\r\n"), P::ReceiveAll()}));
  ServerLists lists;
  lists.UpdateCount = 1;
  lists.FtpServers = {"127.0.0.1"};
  lists.FilesToUpdate = {"f.txt", "f.txt"};
  EXPECT_FALSE(Download(lists, control.Port()));
  EXPECT_EQ(display.calls.back(), "failure Ошибка при скачивании с FTP");
  EXPECT_EQ(testing::ReadAll(destination), "old");
  EXPECT_TRUE(IsReadOnly(destination));
  ASSERT_TRUE(ClearReadOnly(destination));  // so the folder can be removed
}

}  // namespace
}  // namespace ulmar

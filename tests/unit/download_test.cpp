// The download stage over a scripted FTP server.
#include <gtest/gtest.h>

#include "apply/download.h"
#include "unit/ftp_script.h"
#include "unit/loopback.h"
#include "unit/session_fixture.h"

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

}  // namespace
}  // namespace ulmar

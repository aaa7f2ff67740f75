// The download stage over a scripted FTP server.
#include <gtest/gtest.h>

#include "apply/download.h"
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

}  // namespace
}  // namespace ulmar

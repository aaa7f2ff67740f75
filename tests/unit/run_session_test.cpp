// The session's preparation and connection stages with a recording display,
// real log files and a loopback peer.
#include <gtest/gtest.h>

#include <filesystem>

#include "session/run_session.h"
#include "unit/fake_clock.h"
#include "unit/loopback.h"
#include "unit/recording_display.h"
#include "unit/temp_dir.h"

namespace ulmar {
namespace {

using testing::ReadAll;
using Calls = std::vector<std::string>;

class RunSessionTest : public ::testing::Test {
 protected:
  void Run(uint16_t port) {
    SessionServices services{display, log, tcp_log, ftp_log, exe_dir, "127.0.0.1", port};
    services.limits.connect_timeout_ms = 500;
    RunSession(services);
    log.CloseLog();
  }
  std::string SessionLog() { return ReadAll(dir.File("Logs/short.log")); }

  testing::TempDir dir;
  std::string exe_dir = dir.Path().string() + "/";
  testing::FakeClock clock;
  testing::RecordingDisplay display;
  ulmar::SessionLog log{clock};
  TrafficLog tcp_log{clock};
  TrafficLog ftp_log{clock};
};

TEST_F(RunSessionTest, WithoutLogsFolderOnlyTheFolderMessageAndNoFile) {
  Run(testing::ClosedPort());
  EXPECT_EQ(display.calls, (Calls{"overall 0", "stage 0", "failure Приложение запущено не из рабочей папки УЛМАР!"}));
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST_F(RunSessionTest, LogThatCannotBeCreatedShowsTheRightsMessage) {
  std::filesystem::create_directories(dir.Path() / "Logs" / "short.log");
  Run(testing::ClosedPort());
  EXPECT_EQ(display.calls, (Calls{"overall 0", "stage 0",
                                  "failure Недостаточно прав для работы программы! unServerLog.start_log: "
                                  "Не удаётся создать журнала (" + exe_dir + "Logs\\short.log)."}));
}

TEST_F(RunSessionTest, RefusedConnectionIsLoggedAndReported) {
  std::filesystem::create_directory(dir.Path() / "Logs");
  Run(testing::ClosedPort());
  EXPECT_EQ(display.calls, (Calls{"overall 0", "stage 0", "clear", "status Устанавливаем соединение с сервером",
                                  "failure Не удаётся установить соединение с сервером "}));
  EXPECT_EQ(SessionLog(), "*** Журнал создан 08.12.2026 9:05:07\r\n"
                          "08.12.2026 9:05:07 >>> Приложение запущено из " + exe_dir + "\r\n"
                          "08.12.2026 9:05:07 >>> Пробуем установить соединение\r\n"
                          "08.12.2026 9:05:07 >>> Не удаётся установить соединение с сервером (TCP)\r\n"
                          "08.12.2026 9:05:07 >>> Connection refused.\r\n");
  EXPECT_EQ(ReadAll(dir.File("Logs/tcp_clnt.log")), "");
  EXPECT_EQ(ReadAll(dir.File("Logs/ftp_clnt.log")), "");
}

TEST_F(RunSessionTest, AcceptedConnectionIsLoggedAndLeavesNoConnectEntryInTheTrafficLog) {
  std::filesystem::create_directory(dir.Path() / "Logs");
  testing::ScriptedPeer peer({testing::ScriptedPeer::Pause(100)});
  Run(peer.Port());
  EXPECT_NE(SessionLog().find(">>> Пробуем установить соединение\r\n08.12.2026 9:05:07 >>> Установлено.\r\n"),
            std::string::npos);
  EXPECT_EQ(ReadAll(dir.File("Logs/tcp_clnt.log")).find("Stat Connected."), std::string::npos);
}

TEST_F(RunSessionTest, ABadServerAddressIsATransportFailure) {
  std::filesystem::create_directory(dir.Path() / "Logs");
  SessionServices services{display, log, tcp_log, ftp_log, exe_dir, "localhost", 8090};
  RunSession(services);
  log.CloseLog();
  EXPECT_EQ(display.calls.back(), "failure Не удаётся установить соединение с сервером ");
  EXPECT_NE(SessionLog().find(">>> Invalid IPv4 address.\r\n"), std::string::npos);
}

}  // namespace
}  // namespace ulmar

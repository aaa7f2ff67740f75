// The session's preparation and connection stages.
#include <gtest/gtest.h>

#include "unit/loopback.h"
#include "unit/session_fixture.h"

namespace ulmar {
namespace {

using Calls = std::vector<std::string>;

class RunSessionTest : public testing::SessionFixture {};

TEST_F(RunSessionTest, WithoutLogsFolderOnlyTheFolderMessageAndNoFile) {
  Run(testing::ClosedPort());
  EXPECT_EQ(display.calls, (Calls{"overall 0", "stage 0", "failure Приложение запущено не из рабочей папки УЛМАР!"}));
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path() / "client"));
}

TEST_F(RunSessionTest, LogThatCannotBeCreatedShowsTheRightsMessage) {
  std::filesystem::create_directories(dir.Path() / "client" / "Logs" / "short.log");
  Run(testing::ClosedPort());
  EXPECT_EQ(display.calls, (Calls{"overall 0", "stage 0",
                                  "failure Недостаточно прав для работы программы! unServerLog.start_log: "
                                  "Не удаётся создать журнала (" + exe_dir + "Logs\\short.log)."}));
}

// A traffic log that cannot be opened ends the preparation as the session
// log does, with the system's reason; the session log is open by then and
// keeps its first line.
TEST_F(RunSessionTest, ATrafficLogThatCannotBeOpenedShowsTheRightsMessage) {
  for (const char* name : {"tcp_clnt.log", "ftp_clnt.log"}) {
    SCOPED_TRACE(name);
    std::filesystem::remove_all(dir.Path() / "client");
    std::filesystem::create_directories(dir.Path() / "client" / "Logs" / name);
    display.calls.clear();
    Run(testing::ClosedPort());
    ASSERT_EQ(display.calls.size(), 3u);
    const std::string shown = "failure Недостаточно прав для работы программы! ";
    EXPECT_EQ(display.calls.back().substr(0, shown.size()), shown);
    EXPECT_GT(display.calls.back().size(), shown.size());
    log.CloseLog();
    EXPECT_EQ(Events(), (Calls{"Приложение запущено из " + exe_dir}));
  }
}

TEST_F(RunSessionTest, RefusedConnectionIsLoggedAndReported) {
  Install();
  Run(testing::ClosedPort());
  EXPECT_EQ(display.calls, (Calls{"overall 0", "stage 0", "clear", "status Устанавливаем соединение с сервером",
                                  "failure Не удаётся установить соединение с сервером "}));
  EXPECT_EQ(SessionLog(), "*** Журнал создан 08.12.2026 9:05:07\r\n"
                          "08.12.2026 9:05:07 >>> Приложение запущено из " + exe_dir + "\r\n"
                          "08.12.2026 9:05:07 >>> Пробуем установить соединение\r\n"
                          "08.12.2026 9:05:07 >>> Не удаётся установить соединение с сервером (TCP)\r\n"
                          "08.12.2026 9:05:07 >>> Connection refused.\r\n");
  EXPECT_EQ(testing::ReadAll(dir.File("client/Logs/tcp_clnt.log")), "");
  EXPECT_EQ(testing::ReadAll(dir.File("client/Logs/ftp_clnt.log")), "");
}

// Any other error of the connection stage is shown as an internal error,
// and the session log gets nothing more.
TEST_F(RunSessionTest, AnotherErrorWhileConnectingIsAnInternalErrorAndNotLogged) {
  Install();
  display.on_status = [](const std::string&) { throw Exception("Out of memory"); };
  Run(testing::ClosedPort());
  EXPECT_EQ(display.calls.back(), "failure Внутренняя ошибка приложения: Out of memory");
  EXPECT_EQ(Events(), (Calls{"Приложение запущено из " + exe_dir, "Пробуем установить соединение"}));
}

TEST_F(RunSessionTest, ABadServerAddressIsATransportFailure) {
  Install();
  Network network = NetworkAt(wire::kServerPort);
  network.server_address = "localhost";
  Run(network);
  EXPECT_EQ(display.calls.back(), "failure Не удаётся установить соединение с сервером ");
  EXPECT_EQ(Events().back(), "Invalid IPv4 address.");
}

}  // namespace
}  // namespace ulmar

// The conversation with the update server, against a scripted peer.
#include <gtest/gtest.h>

#include <optional>

#include "session/exchange.h"
#include "wire/elements.h"
#include "unit/loopback.h"
#include "unit/session_fixture.h"
#include "unit/wire_sizes.h"

namespace ulmar {
namespace {

using Calls = std::vector<std::string>;
using Peer = testing::ScriptedPeer;

using testing::kEmptyInventory;
using testing::kOpening;
using testing::kServerId;

std::string Int(int32_t v) { return wire::EncodeInt32(v); }

class ExchangeTest : public testing::SessionFixture {
 public:
  void AddFile(const std::string& name, const std::string& content) {
    testing::WriteAll(install_dir + "/" + name, content);
  }
  // The n-th open of path (counting from 1) waits until the peer has
  // closed the connection, so the writes after it meet a closed peer.
  void CloseBeforeOpenOf(const std::string& path, int n) {
    auto count = std::make_shared<int>(0);
    registry.on_open = [this, path, n, count](RegistryRoot, const std::string& opened) {
      if (testing::FakeRegistry::Id(RegistryRoot::LocalMachine, opened) ==
              testing::FakeRegistry::Id(RegistryRoot::LocalMachine, path) &&
          ++*count == n) {
        peer->WaitUntilClosed();
      }
    };
  }
  // The peer of the row being run.
  Peer* peer = nullptr;
  std::vector<std::string> LogTail(size_t n) {
    std::vector<std::string> events = Events();
    return std::vector<std::string>(events.end() - std::min(n, events.size()), events.end());
  }
};

TEST_F(ExchangeTest, OneFileNoDataSourcesProducesExactlyTheWorkedExample) {
  Install();
  AddFile("a.txt", "123456789");
  const std::string reply = Int(1) + "ftp1/base\r\n" + Int(0) + Int(1) + "dir\\x.dll\r\n" + "sub\\x.dll\r\n" + Int(0) +
                            Int(0);
  // One file's count and record, then no data sources.
  const std::string one_file = Int(1) + wire::EncodeUInt32(0xCBF43926u) + wire::EncodeLine("a.txt");
  Peer peer({Peer::Receive(kOpening.size()), Peer::Send(kServerId), Peer::ReceiveLines(2),
             Peer::Receive(one_file.size() + wire::kIntegerSize), Peer::Send(reply),
             Peer::ReceiveAll()});
  Run(peer.Port());
  EXPECT_EQ(peer.Received(), kOpening + "STUDENT\r\nivanov\r\n" + Int(1) + "\xCB\xF4\x39\x26" + "a.txt\r\n" + Int(0));
  // What the exchange showed; the download stage follows it.
  EXPECT_EQ(Calls(display.calls.begin(), display.calls.begin() + std::min<size_t>(20, display.calls.size())),
            (Calls{"overall 0", "stage 0", "clear", "status Устанавливаем соединение с сервером", "overall 10",
                   "status Передаем информацию серверу", "stage 0", "stage 30", "stage 60", "stage 100", "overall 25",
                   "status Ждем ответа сервера", "stage 0", "stage 25", "status    файлов не принадлежащих системе 0",
                   "stage 50", "status    файлов подлежащих обновлению 1", "stage 75",
                   "status    новых источников данных 0", "status    файлов к принудительному удалению 0"}));
  std::vector<std::string> events = Events();
  events.resize(std::min<size_t>(events.size(), 3));
  EXPECT_EQ(events, (std::vector<std::string>{"Приложение запущено из " + exe_dir, "Пробуем установить соединение",
                                              "Установлено."}));
  std::string traffic = testing::ReadAll(dir.File("client/Logs/tcp_clnt.log"));
  EXPECT_EQ(traffic.find("Stat Connected."), std::string::npos);
  EXPECT_EQ(traffic.rfind("Sent 08.12.2026 9:05:07: " + std::string("\0\0\0\1", 4) + "\r\n", 0), 0u);
  EXPECT_EQ(traffic.substr(traffic.size() - 20), "Stat Disconnected.\r\n");
}

TEST_F(ExchangeTest, TheWorkstationsDataSourcesGoOutAfterItsFiles) {
  Install();
  registry.SetString(RegistryRoot::CurrentUser, "Software\\ODBC\\ODBC.INI\\Main", "Driver", "SQLSRV32.dll");
  registry.SetString(RegistryRoot::CurrentUser, "Software\\ODBC\\ODBC.INI\\Main", "Database", "uchet");
  aliases.AddParadoxAlias("Книги", "C:\\Data\\Книги");
  const std::string sources = Int(2) + Int(1) + "Main\r\nuchet\r\n\r\n" + Int(2) + "Книги\r\nC:\\Data\\Книги\r\n\r\n";
  Peer peer({Peer::Receive(kOpening.size()), Peer::Send(kServerId), Peer::ReceiveLines(2),
             Peer::Receive(wire::kIntegerSize + sources.size()), Peer::Send(Int(0) + Int(0) + Int(0) + Int(0) + Int(0)),
             Peer::ReceiveAll()});
  Run(peer.Port());
  EXPECT_EQ(peer.Received().substr(peer.Received().size() - sources.size()), sources);
}

TEST_F(ExchangeTest, ListsAreReadAsReceivedNegativeCountsReadNothingKindsKeepTheirLowByte) {
  Install("STUDENT", "");
  const std::string reply = Int(-5) + Int(2) + "f1\r\n" + "Bin\\f2\n" + Int(-1) + Int(1) + Int(258) + "N\r\n" +
                            "D\r\r\n" + "S\r\n" + Int(1) + "old.txt\r\n" + "trailing bytes are ignored";
  Peer peer({Peer::Receive(kOpening.size()), Peer::Send("REPL.CLIENT-SERVER.V.0.2\r\n"), Peer::ReceiveLines(2), Peer::Receive(kEmptyInventory),
             Peer::Send(reply), Peer::ReceiveAll()});
  log.start_log(exe_dir + "Logs\\short.log");
  Connection c(nullptr, NetworkAt(peer.Port()).limits);
  c.Connect("127.0.0.1", peer.Port());
  ServerLists lists;
  ASSERT_TRUE(ExchangeWithServer(reporter, machine, tcp_log, c, lists));
  log.CloseLog();
  EXPECT_FALSE(c.Connected());
  EXPECT_TRUE(lists.FtpServers.empty());
  EXPECT_EQ(lists.ForeignFiles, (std::vector<std::string>{"f1", "Bin\\f2"}));
  EXPECT_EQ(lists.UpdateCount, -1);
  EXPECT_TRUE(lists.FilesToUpdate.empty());
  ASSERT_EQ(lists.NewDataSources.size(), 1u);
  EXPECT_EQ(lists.NewDataSources[0].Kind, ParadoxAlias);
  EXPECT_EQ(lists.NewDataSources[0].Database, "D\r");
  EXPECT_EQ(lists.FilesToDelete, (std::vector<std::string>{"old.txt"}));
  EXPECT_NE(std::find(display.calls.begin(), display.calls.end(), "status    файлов подлежащих обновлению -1"),
            display.calls.end());
  // An identifier that differs only in letter case is a match: nothing logged.
  EXPECT_TRUE(Events().empty());
  // The empty user identifier went out as CR LF alone, the counts of no
  // files and no data sources as four zero bytes each.
  EXPECT_EQ(peer.Received(), kOpening + "STUDENT\r\n\r\n" + std::string(8, '\0'));
}

TEST_F(ExchangeTest, AnotherIdentifierIsLoggedAndTheConversationGoesOn) {
  Install();
  Peer peer({Peer::Receive(kOpening.size()), Peer::Send("repl.client-server.v.0.3\r\n"), Peer::ReceiveLines(2), Peer::Receive(kEmptyInventory),
             Peer::Send(Int(0) + Int(0) + Int(0) + Int(0) + Int(0)), Peer::ReceiveAll()});
  Run(peer.Port());
  EXPECT_EQ(Events().at(3),
            "Несоответствие версий протокола: К:\"repl.client-server.v.0.2\" и C:\"repl.client-server.v.0.3\".");
  EXPECT_NE(std::find(display.calls.begin(), display.calls.end(), "status    файлов к принудительному удалению 0"),
            display.calls.end());
}

struct FailureCase {
  const char* name;
  std::function<void(ExchangeTest&)> setup;
  std::vector<Peer::Step> script;
  std::vector<std::string> log_tail;  // "*" matches any message
  std::string shown;
  // When the connection is closed: a block's handler reports first and the
  // stage closes after it; the outer handler closes first; a failure of the
  // connection itself has closed it already.
  enum class Closed { AfterReport, BeforeReport, ByTheFailure };
  Closed closed = Closed::AfterReport;
  std::optional<std::string> received;  // all the peer got, where the row pins it
};

class ExchangeFailures : public ExchangeTest, public ::testing::WithParamInterface<int> {};

std::vector<FailureCase> Cases() {
  const auto reads_inventory_then_closes = std::vector<Peer::Step>{
      Peer::Receive(kOpening.size()), Peer::Send(kServerId), Peer::ReceiveLines(2), Peer::Receive(kEmptyInventory), Peer::Close()};
  return {
      {"block A, registry key missing", [](ExchangeTest&) {},
       {Peer::Receive(kOpening.size()), Peer::Send(kServerId), Peer::ReceiveAll()},
       {"Ошибка при чтении реестра при поиске типа и имени клиента",
        "Не найден тип клиента. (Не найден ключ реестра \"HKEY_LOCAL_MACHINE\\SOFTWARE\\ULMAR)"},
       "Ошибка сбора данных о Вашем компьютере"},
      {"block A, empty suite code", [](ExchangeTest& t) { t.Install(""); },
       {Peer::Receive(kOpening.size()), Peer::Send(kServerId), Peer::ReceiveAll()},
       {"Ошибка при чтении реестра при поиске типа и имени клиента",
        "Нет информации о типе клиента. ( \"HKEY_LOCAL_MACHINE\\SOFTWARE\\ULMAR\\SuiteCode\" хранит пустую строку)"},
       "Ошибка сбора данных о Вашем компьютере"},
      {"block A, user id of another type",
       [](ExchangeTest& t) {
         t.Install();
         t.registry.SetBinary(RegistryRoot::LocalMachine, "SOFTWARE\\ULMAR", "UserID");
       },
       {Peer::Receive(kOpening.size()), Peer::Send(kServerId), Peer::ReceiveAll()},
       {"Пробуем установить соединение", "Установлено."},
       "Внутренняя ошибка приложения: Invalid data type for 'UserID'", FailureCase::Closed::BeforeReport,
       // The suite code went out before the identifier was read.
       kOpening + "STUDENT\r\n"},
      // For the transport rows the peer closes while the client is still
      // gathering: the registry waits for the close, so the client's writes
      // of that block meet a closed connection.
      {"block A, transport", [](ExchangeTest& t) { t.Install(); t.CloseBeforeOpenOf("SOFTWARE\\ULMAR", 1); },
       {Peer::Receive(kOpening.size()), Peer::Send(kServerId), Peer::Close()},
       {"Ошибка при передаче типа или имени клиента", "*"},
       "Ошибка при передаче данных о Вашем компьютере", FailureCase::Closed::ByTheFailure},
      {"block B, installation directory missing",
       [](ExchangeTest& t) {
         t.Install();
         t.registry.SetString(RegistryRoot::LocalMachine, "SOFTWARE\\ULMAR", "LocalDir", t.install_dir + "-gone");
       },
       {Peer::Receive(kOpening.size()), Peer::Send(kServerId), Peer::ReceiveAll()},
       {"Ошибка при сборе информации о файлах", "*"},
       "Ошибка при сборе информации"},
      {"block B, transport",
       [](ExchangeTest& t) {
         t.Install();
         t.AddFile("a.txt", "a");
         t.CloseBeforeOpenOf("SOFTWARE\\ULMAR", 3);  // GetLocalDir, after the identity's two reads
       },
       {Peer::Receive(kOpening.size()), Peer::Send(kServerId), Peer::ReceiveLines(2), Peer::Close()},
       {"Ошибка при передаче имен файлов", "*"},
       "Ошибка при передаче данных на сервер", FailureCase::Closed::ByTheFailure},
      {"block C, driver of another type",
       [](ExchangeTest& t) {
         t.Install();
         t.registry.SetBinary(RegistryRoot::CurrentUser, "Software\\ODBC\\ODBC.INI\\Bad", "Driver");
       },
       {Peer::Receive(kOpening.size()), Peer::Send(kServerId), Peer::ReceiveAll()},
       {"Ошибка при сборе информации об алиасах", "Invalid data type for 'Driver'"},
       "Ошибка при сборе информации"},
      {"block C, no database engine on the workstation",
       [](ExchangeTest& t) {
         t.Install();
         t.aliases.unreachable = "The database engine is not installed on this computer.";
       },
       {Peer::Receive(kOpening.size()), Peer::Send(kServerId), Peer::ReceiveAll()},
       {"Ошибка при сборе информации об алиасах", "The database engine is not installed on this computer."},
       "Ошибка при сборе информации"},
      {"block C, transport",
       [](ExchangeTest& t) {
         t.Install();
         t.registry.SetString(RegistryRoot::CurrentUser, "Software\\ODBC\\ODBC.INI\\Main", "Driver", "SQLSRV32.dll");
         t.CloseBeforeOpenOf("Software\\ODBC\\ODBC.INI", 1);
       },
       {Peer::Receive(kOpening.size()), Peer::Send(kServerId), Peer::ReceiveLines(2), Peer::Receive(wire::kIntegerSize), Peer::Close()},
       {"Ошибка при передаче алиасов", "*"},
       "Ошибка при передаче данных на сервер", FailureCase::Closed::ByTheFailure},
      {"reply, server closes", [](ExchangeTest& t) { t.Install(); }, reads_inventory_then_closes,
       {"Соединение с сервером (TCP) было сброшено.", "Connection Closed Gracefully."},
       "Соединение с сервером было сброшено.", FailureCase::Closed::ByTheFailure},
      {"reply, line too long", [](ExchangeTest& t) { t.Install(); },
       {Peer::Receive(kOpening.size()), Peer::Send(kServerId), Peer::ReceiveLines(2), Peer::Receive(kEmptyInventory),
        Peer::Send(Int(1) + std::string(16385, 'x') + "\r\n"), Peer::ReceiveAll()},
       {"Соединение с сервером (TCP) было сброшено.", "Max line length exceeded."},
       "Соединение с сервером было сброшено.", FailureCase::Closed::BeforeReport},
      // A count is never trusted for memory: the lists grow with what
      // actually arrives.
      {"reply, a count of 2^31-1 and then the end", [](ExchangeTest& t) { t.Install(); },
       {Peer::Receive(kOpening.size()), Peer::Send(kServerId), Peer::ReceiveLines(2), Peer::Receive(kEmptyInventory),
        Peer::Send(Int(0) + Int(2147483647) + "one\r\ntwo\r\n"), Peer::Close()},
       {"Соединение с сервером (TCP) было сброшено.", "Connection Closed Gracefully."},
       "Соединение с сервером было сброшено.", FailureCase::Closed::ByTheFailure},
      {"opening, server closes at once", [](ExchangeTest& t) { t.Install(); },
       {Peer::Receive(kOpening.size()), Peer::Close()},
       {"Соединение с сервером (TCP) было сброшено.", "Connection Closed Gracefully."},
       "Соединение с сервером было сброшено.", FailureCase::Closed::ByTheFailure},
  };
}

TEST_P(ExchangeFailures, EachRowLogsAndShowsItsTexts) {
  FailureCase c = Cases()[GetParam()];
  SCOPED_TRACE(c.name);
  std::filesystem::create_directories(dir.Path() / "client" / "Logs");
  // The blocks' handlers report while the connection is still open; the
  // outer handler closes it first.
  const std::string traffic = dir.File("client/Logs/tcp_clnt.log");
  bool closed_when_reported = false;
  display.on_failure = [&] { closed_when_reported = testing::ReadAll(traffic).find("Stat Disconnected.") != std::string::npos; };
  std::string received;
  {
    Peer row_peer(c.script);
    peer = &row_peer;
    c.setup(*this);
    Run(row_peer.Port());
    row_peer.WaitUntilClosed();
    received = row_peer.Received();
  }
  if (c.closed != FailureCase::Closed::ByTheFailure) {
    EXPECT_EQ(closed_when_reported, c.closed == FailureCase::Closed::BeforeReport);
  }
  if (c.received) EXPECT_EQ(received, *c.received);
  std::vector<std::string> tail = LogTail(c.log_tail.size());
  ASSERT_EQ(tail.size(), c.log_tail.size());
  for (size_t i = 0; i < tail.size(); ++i) {
    if (c.log_tail[i] != "*") {
      EXPECT_EQ(tail[i], c.log_tail[i]);
    }
  }
  EXPECT_EQ(display.calls.back(), "failure " + c.shown);
  EXPECT_EQ(testing::ReadAll(dir.File("client/Logs/tcp_clnt.log")).rfind("Stat Disconnected.\r\n"),
            testing::ReadAll(dir.File("client/Logs/tcp_clnt.log")).size() - 20);
}

// A row's name as its case's name: "block A, transport" -> "BlockATransport".
std::string RowName(const ::testing::TestParamInfo<int>& info) {
  std::string name;
  bool word_start = true;
  for (char c : std::string(Cases()[info.param].name)) {
    if (!std::isalnum(static_cast<unsigned char>(c))) {
      word_start = true;
      continue;
    }
    name += word_start ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    word_start = false;
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, ExchangeFailures, ::testing::Range(0, static_cast<int>(Cases().size())), RowName);

TEST_F(ExchangeTest, ARegistryFailureInBlockAHasSentNothingButTheOpening) {
  std::filesystem::create_directories(dir.Path() / "client" / "Logs");
  Peer peer({Peer::Receive(kOpening.size()), Peer::Send(kServerId), Peer::ReceiveAll()});
  Run(peer.Port());
  EXPECT_EQ(peer.Received(), kOpening);
}

}  // namespace
}  // namespace ulmar

#include "session/exchange.h"

#include "datasources/inventory.h"
#include "inventory/scan.h"
#include "inventory/settings.h"
#include "log/errors.h"
#include "platform/cp1251.h"
#include "session/protocol.h"

namespace ulmar {

void SendLine(Connection& c, const std::string& text) { c.Write(protocol::EncodeLine(text)); }
void SendInt32(Connection& c, int32_t value) { c.Write(protocol::EncodeInt32(value)); }
void SendUInt32(Connection& c, uint32_t value) { c.Write(protocol::EncodeUInt32(value)); }
std::string ReadLine(Connection& c) { return c.ReadLine(protocol::kMaxLineLength); }
int32_t ReadInt32(Connection& c) { return c.ReadInt32(); }

namespace {

// Closes the connection however the guarded steps end. A block's handler
// reports before this runs; an error that leaves the block is reported by
// the outer handler after it.
class CloseWhenDone {
 public:
  explicit CloseWhenDone(Connection& c) : c_(c) {}
  ~CloseWhenDone() {
    if (c_.Connected()) c_.Disconnect();
  }

 private:
  Connection& c_;
};

void Fail(SessionServices& s, const std::string& log_line, const std::string& message, const std::string& shown) {
  s.log.WriteLog(log_line);
  s.log.WriteLog(message);
  s.display.ReportFailure(shown);
}

// The counts are shown as received; a count of 0 or less reads nothing.
// Lists grow with what arrives, never sized by a count from the wire.
void ReadLines(Connection& c, int32_t count, std::vector<std::string>& into, int per_item = 1) {
  for (int32_t i = 0; i < count; ++i) {
    for (int k = 0; k < per_item; ++k) into.push_back(ReadLine(c));
  }
}

bool Converse(SessionServices& s, Connection& c, ServerLists& lists) {
  CloseWhenDone closer(c);
  SendInt32(c, 1);
  SendLine(c, protocol::kProtocolId);
  std::string server_id = ReadLine(c);
  if (UpperCp1251(server_id) != UpperCp1251(protocol::kProtocolId)) {
    s.log.WriteLog("Несоответствие версий протокола: К:\"" + std::string(protocol::kProtocolId) + "\" и C:\"" +
                   server_id + "\".");
  }
  s.display.ShowStatus("Передаем информацию серверу");
  s.display.SetStageProgress(0);

  InstallationSettings settings(s.registry, s.clock);
  try {
    SendLine(c, settings.GetSuiteCode());
    SendLine(c, settings.GetUserID());
  } catch (const TransportError& e) {
    Fail(s, "Ошибка при передаче типа или имени клиента", e.Message(), "Ошибка при передаче данных о Вашем компьютере");
    return false;
  } catch (const MException& e) {
    Fail(s, "Ошибка при чтении реестра при поиске типа и имени клиента", e.Message(),
         "Ошибка сбора данных о Вашем компьютере");
    return false;
  }
  s.display.SetStageProgress(30);

  try {
    std::vector<TLocalFileInfo> files = CollectLocalFiles(settings);
    SendInt32(c, static_cast<int32_t>(files.size()));
    for (const TLocalFileInfo& f : files) {
      SendUInt32(c, f.CRC);
      SendLine(c, f.FileName);
    }
  } catch (const TransportError& e) {
    Fail(s, "Ошибка при передаче имен файлов", e.Message(), "Ошибка при передаче данных на сервер");
    return false;
  } catch (const std::exception& e) {
    Fail(s, "Ошибка при сборе информации о файлах", e.what(), "Ошибка при сборе информации");
    return false;
  }
  s.display.SetStageProgress(60);

  try {
    std::vector<TDBAlias> sources = CollectDataSources(s.registry, s.aliases);
    SendInt32(c, static_cast<int32_t>(sources.size()));
    for (const TDBAlias& a : sources) {
      SendInt32(c, a.Kind);
      SendLine(c, a.Name);
      SendLine(c, a.Database);
      SendLine(c, a.Server);
    }
  } catch (const TransportError& e) {
    Fail(s, "Ошибка при передаче алиасов", e.Message(), "Ошибка при передаче данных на сервер");
    return false;
  } catch (const std::exception& e) {
    Fail(s, "Ошибка при сборе информации об алиасах", e.what(), "Ошибка при сборе информации");
    return false;
  }
  s.display.SetStageProgress(100);
  s.display.SetOverallProgress(25);
  s.display.ShowStatus("Ждем ответа сервера");
  s.display.SetStageProgress(0);

  ReadLines(c, ReadInt32(c), lists.FtpServers);

  s.display.SetStageProgress(25);
  int32_t n = ReadInt32(c);
  s.display.ShowStatus("   файлов не принадлежащих системе " + std::to_string(n));
  ReadLines(c, n, s.foreign_files);

  s.display.SetStageProgress(50);
  n = ReadInt32(c);
  lists.UpdateCount = n;
  s.display.ShowStatus("   файлов подлежащих обновлению " + std::to_string(n));
  ReadLines(c, n, lists.FilesToUpdate, 2);

  s.display.SetStageProgress(75);
  n = ReadInt32(c);
  s.display.ShowStatus("   новых источников данных " + std::to_string(n));
  for (int32_t i = 0; i < n; ++i) {
    TDBAlias a;
    a.Kind = static_cast<uint8_t>(ReadInt32(c) & 0xFF);
    a.Name = ReadLine(c);
    a.Database = ReadLine(c);
    a.Server = ReadLine(c);
    lists.NewDataSources.push_back(std::move(a));
  }

  n = ReadInt32(c);
  s.display.ShowStatus("   файлов к принудительному удалению " + std::to_string(n));
  ReadLines(c, n, lists.FilesToDelete);
  return true;
}

}  // namespace

bool ExchangeWithServer(SessionServices& s, Connection& server, ServerLists& lists) {
  server.AttachLog(&s.tcp_log);
  s.display.SetOverallProgress(10);
  try {
    return Converse(s, server, lists);
  } catch (const TransportError& e) {
    Fail(s, "Соединение с сервером (TCP) было сброшено.", e.Message(), "Соединение с сервером было сброшено.");
  } catch (const std::exception& e) {
    s.display.ReportFailure("Внутренняя ошибка приложения: " + std::string(e.what()));
  }
  return false;
}

}  // namespace ulmar

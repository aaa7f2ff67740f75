#include "session/exchange.h"

#include <functional>
#include <memory>

#include "base/cp1251.h"
#include "base/errors.h"
#include "datasources/collect.h"
#include "inventory/scan.h"
#include "inventory/settings.h"

namespace ulmar {
namespace {

// Each element is its own write.
void SendLine(Connection& c, const std::string& text) { c.Write(wire::EncodeLine(text)); }
void SendInt32(Connection& c, int32_t value) { c.Write(wire::EncodeInt32(value)); }
void SendUInt32(Connection& c, uint32_t value) { c.Write(wire::EncodeUInt32(value)); }

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

// A handler's end of the stage: two lines in the session log, one in the
// window, light red.
void LogAndReport(Reporter& r, const std::string& log_line, const std::string& message, const std::string& shown) {
  r.log.WriteLog(log_line);
  r.log.WriteLog(message);
  r.display.ReportFailure(shown);
}

// The texts of a block that gathers part of the inventory and sends it.
struct BlockTexts {
  const char* transport_log;
  const char* transport_shown;
  const char* gathering_log;
  const char* gathering_shown;
};

// Runs one such block; false when it failed (and has reported).
bool GatherAndSend(Reporter& r, const BlockTexts& texts, const std::function<void()>& block) {
  try {
    block();
    return true;
  } catch (const TransportError& e) {
    LogAndReport(r, texts.transport_log, e.Message(), texts.transport_shown);
  } catch (const std::exception& e) {
    LogAndReport(r, texts.gathering_log, e.what(), texts.gathering_shown);
  }
  return false;
}

// The reply's elements into the lists, with the window's count lines and
// stage progress shown as each list begins and ends.
class ReplyProgress : public wire::ListCollector {
 public:
  // Per list, in wire order: the line that shows its count (none for the
  // FTP servers), and the stage progress once it is complete (0: none).
  static constexpr const char* kCountLines[] = {nullptr, "   файлов не принадлежащих системе ",
                                                "   файлов подлежащих обновлению ", "   новых источников данных ",
                                                "   файлов к принудительному удалению "};
  static constexpr int kProgressAfter[] = {25, 50, 75, 0, 0};

  ReplyProgress(Display& display, ServerLists& lists) : ListCollector(lists), display_(display) {}

  void OnCount(wire::ReplyList list, int32_t count) override {
    ListCollector::OnCount(list, count);
    // Counts are shown as received, negative ones too.
    if (const char* text = kCountLines[Index(list)]) display_.ShowStatus(text + std::to_string(count));
  }
  void OnListEnd(wire::ReplyList list) override {
    if (int percent = kProgressAfter[Index(list)]) display_.SetStageProgress(percent);
  }

 private:
  static size_t Index(wire::ReplyList list) { return static_cast<size_t>(list); }

  Display& display_;
};

// Feeds the reply reader with what arrives until the last list is complete.
// What follows it is left unread.
void ReadReply(Connection& c, wire::ReplySink& sink) {
  wire::ReplyReader reader(sink);
  std::unique_ptr<char[]> block(new char[Connection::kReceiveBlock]);
  for (;;) {
    size_t n = c.ReadSome(block.get(), Connection::kReceiveBlock);
    if (n == 0) throw TransportError(transport_text::kConnectionClosed);
    switch (reader.Feed(std::string_view(block.get(), n))) {
      case wire::ReplyReader::Result::Done:
        return;
      case wire::ReplyReader::Result::LineTooLong:
        throw TransportError(transport_text::kMaxLineLength);
      case wire::ReplyReader::Result::TooLarge:
        throw TransportError(wire::kReplyTooLarge);
      case wire::ReplyReader::Result::NeedMore:
        break;
    }
  }
}

bool Converse(Reporter& r, Machine& m, Connection& c, ServerLists& lists) {
  CloseWhenDone closer(c);
  SendInt32(c, 1);
  SendLine(c, wire::kProtocolId);
  std::string server_id = c.ReadLine(wire::kMaxLineLength);
  if (UpperCp1251(server_id) != UpperCp1251(wire::kProtocolId)) {
    r.log.WriteLog("Несоответствие версий протокола: К:\"" + std::string(wire::kProtocolId) + "\" и C:\"" +
                   server_id + "\".");
  }
  r.display.ShowStatus("Передаем информацию серверу");
  r.display.SetStageProgress(0);

  InstallationSettings settings(m.registry, m.clock);
  try {
    // The suite code goes out before the user identifier is read.
    SendLine(c, settings.GetSuiteCode());
    SendLine(c, settings.GetUserID());
  } catch (const TransportError& e) {
    LogAndReport(r, "Ошибка при передаче типа или имени клиента", e.Message(),
                 "Ошибка при передаче данных о Вашем компьютере");
    return false;
  } catch (const MException& e) {
    LogAndReport(r, "Ошибка при чтении реестра при поиске типа и имени клиента", e.Message(),
                 "Ошибка сбора данных о Вашем компьютере");
    return false;
  }
  r.display.SetStageProgress(30);

  static constexpr BlockTexts kFiles{"Ошибка при передаче имен файлов", "Ошибка при передаче данных на сервер",
                                     "Ошибка при сборе информации о файлах", "Ошибка при сборе информации"};
  if (!GatherAndSend(r, kFiles, [&] {
        std::vector<std::string> left_out;
        std::vector<TLocalFileInfo> files = CollectLocalFiles(settings, &r.heartbeat, &left_out);
        for (const std::string& name : left_out) {
          r.log.WriteLog("Не передано серверу (имя не записывается в кодовой странице 1251): " + name);
        }
        SendInt32(c, static_cast<int32_t>(files.size()));
        for (const TLocalFileInfo& f : files) {
          SendUInt32(c, f.CRC);
          SendLine(c, f.FileName);
        }
      })) {
    return false;
  }
  r.display.SetStageProgress(60);

  static constexpr BlockTexts kSources{"Ошибка при передаче алиасов", "Ошибка при передаче данных на сервер",
                                       "Ошибка при сборе информации об алиасах", "Ошибка при сборе информации"};
  if (!GatherAndSend(r, kSources, [&] {
        std::vector<TDBAlias> sources = CollectDataSources(m.registry, m.aliases, &r.heartbeat);
        SendInt32(c, static_cast<int32_t>(sources.size()));
        for (const TDBAlias& a : sources) {
          SendInt32(c, a.Kind);
          SendLine(c, a.Name);
          SendLine(c, a.Database);
          SendLine(c, a.Server);
        }
      })) {
    return false;
  }
  r.display.SetStageProgress(100);
  r.display.SetOverallProgress(25);
  r.display.ShowStatus("Ждем ответа сервера");
  r.display.SetStageProgress(0);

  ReplyProgress progress(r.display, lists);
  ReadReply(c, progress);
  return true;
}

}  // namespace

bool ExchangeWithServer(Reporter& reporter, Machine& machine, TrafficLog& tcp_log, Connection& server,
                        ServerLists& lists) {
  server.AttachLog(&tcp_log);
  reporter.display.SetOverallProgress(10);
  try {
    return Converse(reporter, machine, server, lists);
  } catch (const TransportError& e) {
    LogAndReport(reporter, "Соединение с сервером (TCP) было сброшено.", e.Message(),
                 "Соединение с сервером было сброшено.");
  } catch (const std::exception& e) {
    reporter.display.ReportFailure("Внутренняя ошибка приложения: " + std::string(e.what()));
  }
  return false;
}

}  // namespace ulmar

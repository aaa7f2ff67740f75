// The session's skeleton: its stages in order, each a protected block that
// reports its own failure and ends the session.
#include "session/run_session.h"

#include "log/errors.h"
#include "apply/deletion.h"
#include "apply/download.h"
#include "apply/finishing.h"
#include "session/exchange.h"
#include "platform/file.h"

namespace ulmar {
namespace {

// Opens the session log and both traffic logs. Nothing reaches the session
// log on failure: it may be the very thing that failed.
bool Prepare(SessionServices& s) {
  try {
    s.log.start_log(s.exe_dir + "Logs\\short.log");
    s.log.WriteLog("Приложение запущено из " + s.exe_dir);
    s.tcp_log.Activate(s.exe_dir + "Logs\\tcp_clnt.log");
    s.ftp_log.Activate(s.exe_dir + "Logs\\ftp_clnt.log");
    return true;
  } catch (const std::exception& e) {
    if (DirectoryExists(s.exe_dir + "Logs")) {
      s.display.ReportFailure("Недостаточно прав для работы программы! " + std::string(e.what()));
    } else {
      s.display.ReportFailure("Приложение запущено не из рабочей папки УЛМАР!");
    }
    return false;
  }
}

// Connects to the update server. The TCP traffic log is not attached yet,
// so the attempt itself leaves nothing in it.
bool ConnectToServer(SessionServices& s, Connection& server) {
  try {
    s.display.ClearStatus();
    s.log.WriteLog("Пробуем установить соединение");
    s.display.ShowStatus("Устанавливаем соединение с сервером");
    server.Connect(s.server_address, s.server_port);
    s.log.WriteLog("Установлено.");
    return true;
  } catch (const TransportError& e) {
    s.log.WriteLog("Не удаётся установить соединение с сервером (TCP)");
    s.log.WriteLog(e.Message());
    s.display.ReportFailure("Не удаётся установить соединение с сервером ");
  } catch (const std::exception& e) {
    s.display.ReportFailure("Внутренняя ошибка приложения: " + std::string(e.what()));
  }
  return false;
}

}  // namespace

void RunSession(SessionServices& s) {
  s.display.SetOverallProgress(0);
  s.display.SetStageProgress(0);
  if (!Prepare(s)) return;
  Connection server([&s] { s.display.ProcessMessages(); }, s.limits);
  if (!ConnectToServer(s, server)) return;
  ServerLists lists;
  if (!ExchangeWithServer(s, server, lists)) return;
  int fetched = 0;
  if (!DownloadFiles(s, lists, &fetched)) return;
  DeleteFilesByForce(s, lists.FilesToDelete);
  FinishSession(s, lists, fetched);
}

}  // namespace ulmar

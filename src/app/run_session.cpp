// The session's skeleton: its stages in order, each a protected block that
// reports its own failure and ends the session.
#include "app/run_session.h"

#include "apply/deletion.h"
#include "apply/download.h"
#include "apply/finishing.h"
#include "base/errors.h"
#include "platform/file.h"
#include "session/exchange.h"

namespace ulmar {
namespace {

// Opens the session log and both traffic logs. Nothing reaches the session
// log on failure: it may be the very thing that failed.
bool Prepare(Reporter& r, Network& n, const Program& p) {
  try {
    r.log.start_log(p.exe_dir + "Logs\\short.log");
    r.log.WriteLog("Приложение запущено из " + p.exe_dir);
    n.tcp_log.Activate(p.exe_dir + "Logs\\tcp_clnt.log");
    n.ftp_log.Activate(p.exe_dir + "Logs\\ftp_clnt.log");
    return true;
  } catch (const std::exception& e) {
    if (DirectoryExists(p.exe_dir + "Logs")) {
      r.display.ReportFailure("Недостаточно прав для работы программы! " + std::string(e.what()));
    } else {
      r.display.ReportFailure("Приложение запущено не из рабочей папки УЛМАР!");
    }
    return false;
  }
}

// Connects to the update server. The TCP traffic log is not attached yet,
// so the attempt itself leaves nothing in it.
bool ConnectToServer(Reporter& r, Network& n, Connection& server) {
  try {
    r.display.ClearStatus();
    r.log.WriteLog("Пробуем установить соединение");
    r.display.ShowStatus("Устанавливаем соединение с сервером");
    server.Connect(n.server_address, n.server_port);
    r.log.WriteLog("Установлено.");
    return true;
  } catch (const TransportError& e) {
    r.log.WriteLog("Не удаётся установить соединение с сервером (TCP)");
    r.log.WriteLog(e.Message());
    r.display.ReportFailure("Не удаётся установить соединение с сервером ");
  } catch (const std::exception& e) {
    r.display.ReportFailure("Внутренняя ошибка приложения: " + std::string(e.what()));
  }
  return false;
}

}  // namespace

void RunSession(Reporter& reporter, Machine& machine, Network& network, const Program& program) {
  reporter.display.SetOverallProgress(0);
  reporter.display.SetStageProgress(0);
  if (!Prepare(reporter, network, program)) return;
  Connection server(&reporter.heartbeat, network.limits);
  if (!ConnectToServer(reporter, network, server)) return;
  ServerLists lists;
  if (!ExchangeWithServer(reporter, machine, network.tcp_log, server, lists)) return;
  std::optional<Downloaded> downloaded = DownloadFiles(reporter, machine, network, lists);
  if (!downloaded) return;
  DeleteFilesByForce(reporter, downloaded->install_dir, lists.FilesToDelete);
  FinishSession(reporter, machine, program, lists, *downloaded);
}

}  // namespace ulmar

#include "apply/finishing.h"

#include "apply/download.h"
#include "datasources/creation.h"
#include "inventory/settings.h"
#include "log/errors.h"
#include "platform/file.h"

namespace ulmar {

std::string SupportAddress(const std::string& host) { return "http://" + host + "/page/support/ulmar"; }

std::string AutorunCommand(const std::string& path) {
  return path.find(' ') == std::string::npos ? path : "\"" + path + "\"";
}

void RegisterAutorun(Registry& registry, const std::string& path) {
  const std::string command = AutorunCommand(path);
  std::string current;
  if (auto key = registry.Open(RegistryRoot::LocalMachine, kRunKey, RegistryAccess::Read)) {
    current = key->ReadString("UlmarUpdater").value_or("");
  }
  if (!current.empty() && current == command) return;
  auto key = registry.Open(RegistryRoot::LocalMachine, kRunKey, RegistryAccess::Write);
  if (!key) throw RegistryError(RegistryWriteFailedText("UlmarUpdater"));
  key->WriteString("UlmarUpdater", command);
}

namespace {

// False when a data source failed (reported); the session then ends.
bool CreateDataSources(SessionServices& s, const ServerLists& lists) {
  DataSourceMaker maker(s.registry, s.odbc, s.aliases);
  const int n = static_cast<int>(lists.NewDataSources.size());
  for (int j = 0; j < n; ++j) {
    const TDBAlias& record = lists.NewDataSources[j];
    try {
      if (maker.DataSourceExists(record)) maker.RemoveDataSource(record);
      if (!maker.CreateDataSource(record) && (record.Kind == SystemDsn || record.Kind == UserDsn)) {
        // A DSN that could not be made (again) must not vanish silently.
        s.log.WriteLog("Не удалось создать источник данных " + record.Name);
      }
    } catch (const std::exception& e) {
      s.log.WriteLog("Ошибка при создании алиаса" + record.Name);
      s.log.WriteLog(e.what());
      s.display.ReportFailure("Ошибка при создании алиаса");
      return false;
    }
    s.display.SetStageProgress(StageProgress(j + 1, n));
  }
  return true;
}

void RefreshSupportShortcut(SessionServices& s) {
  const std::string address = SupportAddress(s.support_host);
  for (const char* path : {kShortcutPath1, kShortcutPath2}) {
    if (s.workstation.ReadIniString(path, "InternetShortcut", "URL", "нет такого") == address) return;
    if (s.workstation.WriteIniString(path, "InternetShortcut", "URL", address)) return;
  }
}

void DeleteNewsPage(SessionServices& s) {
  try {
    std::string dir;
    if (auto key = s.registry.OpenOrCreate(RegistryRoot::LocalMachine, "software\\ulmar")) {
      dir = key->ReadString("localDir").value_or("");
    }
    if (!dir.empty()) DeleteFileAt(dir + "\\podderzka\\Новости.html");
  } catch (...) {
    // The news page is only a cached copy: nothing here stops the session.
  }
}

}  // namespace

void FinishSession(SessionServices& s, const ServerLists& lists, int fetched) {
  if (!CreateDataSources(s, lists)) return;
  s.display.SetStageProgress(100);
  s.display.SetOverallProgress(95);
  RefreshSupportShortcut(s);
  DeleteNewsPage(s);
  RegisterAutorun(s.registry, s.install_dir + s.exe_name);
  s.log.WriteLog("Обновлено " + std::to_string(fetched) + " из " + std::to_string(lists.UpdateCount));
  if (!s.workstation.RunAndWaitIdle(s.exe_dir, kCompanion)) {
    s.log.WriteLog("Репликатор не смог обновить себя");
    s.display.ReportFailure("Репликатор не смог обновить себя!");
    return;
  }
  s.log.WriteLog("Обновление завершено");
  s.display.ReportSuccess("Обновление успешно завершено!");
  const std::string uninstaller = s.exe_dir + "unins000.exe";
  if (FileExists(uninstaller)) SetHiddenSystem(uninstaller);
  s.display.SetOverallProgress(100);
  InstallationSettings(s.registry, s.clock).SetLastUpdated();
  s.log.CloseLog();
  if (s.foreign_files.empty()) {
    s.display.StartCountdown();
  } else {
    s.display.ShowCleanupOffer();
  }
}

}  // namespace ulmar

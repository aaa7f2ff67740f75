#include "apply/finishing.h"

#include "apply/download.h"
#include "datasources/creation.h"
#include "inventory/settings.h"
#include "base/errors.h"
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
  // The same path as the installer wrote it, without the quotes, starts the
  // same program: rewriting it would fail for every standard user.
  if (!current.empty() && (current == command || current == path)) return;
  auto key = registry.Open(RegistryRoot::LocalMachine, kRunKey, RegistryAccess::Write);
  if (!key) throw RegistryError(RegistryWriteFailedText("UlmarUpdater"));
  key->WriteString("UlmarUpdater", command);
}

namespace {

// False when a data source failed (reported); the session then ends.
bool CreateDataSources(Reporter& r, Machine& m, const ServerLists& lists) {
  DataSourceCreator creator(m.registry, m.odbc, m.aliases);
  const int n = static_cast<int>(lists.NewDataSources.size());
  for (int j = 0; j < n; ++j) {
    const TDBAlias& record = lists.NewDataSources[j];
    try {
      if (creator.DataSourceExists(record)) creator.RemoveDataSource(record);
      r.heartbeat.Tick();
      if (!creator.CreateDataSource(record) && (record.Kind == SystemDsn || record.Kind == UserDsn)) {
        // A DSN that could not be made (again) must not vanish silently.
        r.log.WriteLog("Не удалось создать источник данных " + record.Name);
      }
    } catch (const std::exception& e) {
      r.log.WriteLog("Ошибка при создании алиаса" + record.Name);
      r.log.WriteLog(e.what());
      r.display.ReportFailure("Ошибка при создании алиаса");
      return false;
    }
    r.display.SetStageProgress(StageProgress(j + 1, n));
  }
  return true;
}

void RefreshSupportShortcut(IniFiles& ini_files, const std::string& support_host) {
  const std::string address = SupportAddress(support_host);
  for (const char* path : {kShortcutPath1, kShortcutPath2}) {
    if (ini_files.ReadIniString(path, "InternetShortcut", "URL", "нет такого") == address) return;
    if (ini_files.WriteIniString(path, "InternetShortcut", "URL", address)) return;
  }
}

void DeleteNewsPage(Registry& registry) {
  try {
    std::string dir;
    // A standard user may not open the key for writing; reading is enough.
    std::unique_ptr<RegistryKey> key = registry.OpenOrCreate(RegistryRoot::LocalMachine, "software\\ulmar");
    if (!key) key = registry.Open(RegistryRoot::LocalMachine, "software\\ulmar", RegistryAccess::Read);
    if (key) dir = key->ReadString("localDir").value_or("");
    if (!dir.empty()) DeleteFileAt(dir + "\\podderzka\\Новости.html");
  } catch (...) {
    // The news page is only a cached copy: nothing here stops the session.
  }
}

}  // namespace

void FinishSession(Reporter& r, Machine& m, const Program& program, const ServerLists& lists,
                   const Downloaded& downloaded) {
  if (!CreateDataSources(r, m, lists)) return;
  r.display.SetStageProgress(100);
  r.display.SetOverallProgress(95);
  RefreshSupportShortcut(m.ini_files, program.support_host);
  DeleteNewsPage(m.registry);
  RegisterAutorun(m.registry, downloaded.install_dir + program.exe_name);
  r.log.WriteLog("Обновлено " + std::to_string(downloaded.fetched) + " из " + std::to_string(lists.UpdateCount));
  if (!m.processes.RunAndWaitIdle(program.exe_dir, kCompanion)) {
    r.log.WriteLog("Репликатор не смог обновить себя");
    r.display.ReportFailure("Репликатор не смог обновить себя!");
    return;
  }
  r.log.WriteLog("Обновление завершено");
  r.display.ReportSuccess("Обновление успешно завершено!");
  const std::string uninstaller = program.exe_dir + "unins000.exe";
  if (FileExists(uninstaller)) SetHiddenSystem(uninstaller);
  r.display.SetOverallProgress(100);
  InstallationSettings(m.registry, m.clock).SetLastUpdated();
  r.log.CloseLog();
  if (lists.ForeignFiles.empty()) {
    r.display.StartCountdown();
  } else {
    r.display.ShowCleanupOffer(lists.ForeignFiles, downloaded.install_dir);
  }
}

}  // namespace ulmar

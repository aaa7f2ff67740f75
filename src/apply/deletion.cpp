#include "apply/deletion.h"

#include "base/safe_path.h"
#include "platform/file.h"

namespace ulmar {

std::optional<std::string> DeleteInsideInstallation(const std::string& install_dir, const std::string& entry) {
  try {
    if (std::optional<std::string> unsafe = UnsafePathReason(entry)) return unsafe;
    const std::string path = install_dir + entry;
    if (!FileExists(path)) return std::nullopt;
    // Named for deletion by the server or confirmed by the operator: a
    // read-only attribute does not stand in the way, and comes back when
    // the file cannot be deleted all the same.
    ReadOnlyLift lift(path);
    if (!DeleteFileAt(path)) return LastFileErrorText();
    lift.Keep();
    return std::nullopt;
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
}

void DeleteFilesByForce(Reporter& r, const std::string& install_dir, const std::vector<std::string>& files_to_delete) {
  r.display.SetStageProgress(100);
  r.display.SetOverallProgress(80);
  for (const std::string& entry : files_to_delete) {
    r.heartbeat.Tick();
    std::optional<std::string> reason = DeleteInsideInstallation(install_dir, entry);
    if (!reason) continue;
    r.log.WriteLog("Ошибка принудительного удаления файла: " + entry + " (" + *reason + ")");
    r.display.ReportFailure("Ошибка принудительного удаления файла: " + entry);
  }
  r.display.SetStageProgress(0);
}

}  // namespace ulmar

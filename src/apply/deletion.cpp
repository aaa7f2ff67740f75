#include "apply/deletion.h"

#include <optional>

#include "apply/safe_path.h"
#include "platform/file.h"

namespace ulmar {

void DeleteFilesByForce(SessionServices& s, const std::vector<std::string>& files_to_delete) {
  s.display.SetStageProgress(100);
  s.display.SetOverallProgress(80);
  for (const std::string& entry : files_to_delete) {
    std::string reason;
    try {
      if (std::optional<std::string> unsafe = UnsafePathReason(entry)) {
        reason = *unsafe;
      } else {
        const std::string path = s.install_dir + entry;
        // Nothing there, or a directory: passed over silently.
        if (FileExists(path) && !DeleteFileAt(path)) reason = LastFileErrorText();
      }
    } catch (const std::exception& e) {
      reason = e.what();
    }
    if (reason.empty()) continue;
    s.log.WriteLog("Ошибка принудительного удаления файла: " + entry + " (" + reason + ")");
    s.display.ReportFailure("Ошибка принудительного удаления файла: " + entry);
  }
  s.display.SetStageProgress(0);
}

}  // namespace ulmar

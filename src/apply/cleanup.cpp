#include "apply/cleanup.h"

#include "apply/safe_path.h"
#include "platform/file.h"

namespace ulmar {

void ShowForeignFiles(CleanupView& view, const std::vector<std::string>& foreign, const std::string& install_dir) {
  view.ClearStatus();
  view.ShowStatus("Следующие файлы в рабочей директории системы УЛМАР не принадлежат системе и должны быть удалены: ");
  view.ShowStatus("");
  for (const std::string& entry : foreign) view.ShowStatus(install_dir + entry);
  view.ShowStatus("");
  view.ShowStatus("Если хотите удалить файлы сейчас, нажмите кнопку \"Да\" иначе - \"Закрыть\"");
  view.ShowConfirmation();
}

void DeleteForeignFiles(CleanupView& view, const std::vector<std::string>& foreign, const std::string& install_dir) {
  for (const std::string& entry : foreign) {
    bool failed = false;
    try {
      // A path that would leave the installation directory is never touched.
      if (UnsafePathReason(entry)) {
        failed = true;
      } else {
        const std::string path = install_dir + entry;
        failed = FileExists(path) && !DeleteFileAt(path);
      }
    } catch (...) {
      failed = true;
    }
    if (failed) view.Warning("Не удаётся удалить файл \"" + entry + "\"; возможно, в данный момент он открыт. ");
  }
  view.ClearStatus();
  view.HideConfirmation();
  view.CloseWindow();
}

}  // namespace ulmar

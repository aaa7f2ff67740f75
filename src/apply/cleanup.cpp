#include "apply/cleanup.h"

#include "apply/deletion.h"

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
    // A path that would leave the installation directory is never touched.
    if (DeleteInsideInstallation(install_dir, entry)) view.Warning("Не удаётся удалить файл \"" + entry + "\"; возможно, в данный момент он открыт. ");
  }
  view.ClearStatus();
  view.HideConfirmation();
  view.CloseWindow();
}

}  // namespace ulmar

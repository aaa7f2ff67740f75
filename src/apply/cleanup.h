// The foreign-file clean-up offered after a successful session: the list of
// the files the server called foreign, then, on the operator's
// confirmation, their deletion and the end of the program.
#pragma once

#include <string>
#include <vector>

namespace ulmar {

// What the dialog needs of the window.
class CleanupView {
 public:
  virtual ~CleanupView() = default;
  virtual void ClearStatus() = 0;
  virtual void ShowStatus(const std::string& text) = 0;
  // Hides the offer button and shows the confirmation button.
  virtual void ShowConfirmation() = 0;
  virtual void HideConfirmation() = 0;
  // A modal warning box titled "Warning" with one OK button.
  virtual void Warning(const std::string& text) = 0;
  virtual void CloseWindow() = 0;
};

// garbage_button: lists the files with their full paths.
void ShowForeignFiles(CleanupView& view, const std::vector<std::string>& foreign, const std::string& install_dir);
// gab_del: deletes them (a warning for each that cannot be deleted, or that
// would lie outside the installation directory) and closes the window.
void DeleteForeignFiles(CleanupView& view, const std::vector<std::string>& foreign, const std::string& install_dir);

}  // namespace ulmar

// The display operations: everything the session shows goes through these.
// The operator window implements them; tests pass a recording fake.
#pragma once

#include <string>
#include <vector>

namespace ulmar {

class Display {
 public:
  virtual ~Display() = default;
  // Position of the overall progress bar (0..100); shown at once.
  virtual void SetOverallProgress(int percent) = 0;
  // Position of the stage progress bar (0..100); shown at once.
  virtual void SetStageProgress(int percent) = 0;
  // Appends text as the status box's new last line; shown at once.
  virtual void ShowStatus(const std::string& text) = 0;
  // Removes every line of the status box.
  virtual void ClearStatus() = 0;
  // ShowStatus, then the status box turns light red.
  virtual void ReportFailure(const std::string& text) = 0;
  // ShowStatus, then the status box turns light green.
  virtual void ReportSuccess(const std::string& text) = 0;
  // Starts the ten-second countdown after which the window closes itself.
  virtual void StartCountdown() = 0;
  // Shows the button that offers to list the foreign files; the window keeps
  // them and the installation directory they are relative to for the
  // clean-up dialog.
  virtual void ShowCleanupOffer(const std::vector<std::string>& foreign_files, const std::string& install_dir) = 0;
  // Handles the window's pending messages (repaint, input, timers); called
  // by blocking waits so the window stays responsive.
  virtual void ProcessMessages() = 0;
};

}  // namespace ulmar

// The operator window: two progress bars, the status box, the version label,
// the close button, the auto-close notice and the clean-up buttons. It owns
// the start timer that runs the session once and the auto-close countdown.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "apply/cleanup.h"
#include "session/display.h"

namespace ulmar {

class MainWindow : public Display, public CleanupView {
 public:
  // run_session is called once, on the first tick of the start timer.
  MainWindow(HINSTANCE instance, std::function<void()> run_session);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Shows the window and runs the message loop until it closes.
  int Run();
  HWND Handle() const { return hwnd_; }

  // Display operations.
  void SetOverallProgress(int percent) override;
  void SetStageProgress(int percent) override;
  void ShowStatus(const std::string& text) override;
  void ClearStatus() override;
  void ReportFailure(const std::string& text) override;
  void ReportSuccess(const std::string& text) override;
  void StartCountdown() override;
  void ShowCleanupOffer(const std::vector<std::string>& foreign_files, const std::string& install_dir) override;
  void ProcessMessages() override;

  // The clean-up dialog's view.
  void ShowConfirmation() override;
  void HideConfirmation() override;
  void Warning(const std::string& text) override;
  void CloseWindow() override;

  // What the clean-up offer was given.
  const std::vector<std::string>& ForeignFiles() const { return foreign_files_; }
  const std::string& InstallDir() const { return install_dir_; }

  // Handlers of the two clean-up buttons, installed by the clean-up dialog.
  std::function<void()> on_garbage_button;
  std::function<void()> on_gab_del;

 private:
  enum class StatusColour { Running, Failed, Succeeded };

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT HandleMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  void CreateControls();
  HWND Control(int id) const { return GetDlgItem(hwnd_, id); }
  void OnStartTimer();
  void OnStopTimer();
  void RequestClose();
  void SetStatusColour(StatusColour colour);

  HINSTANCE instance_;
  std::function<void()> run_session_;
  HWND hwnd_ = nullptr;
  HFONT font_ = nullptr;
  HFONT status_font_ = nullptr;
  HICON ok_glyph_ = nullptr;
  HBRUSH failure_brush_ = nullptr;
  HBRUSH success_brush_ = nullptr;
  StatusColour status_colour_ = StatusColour::Running;
  int status_lines_ = 0;
  int countdown_ = 10;
  bool session_running_ = false;
  bool listing_ = false;               // the clean-up list is being written
  DWORD confirmation_shown_at_ = 0;    // GetTickCount() when the confirmation appeared
  bool close_requested_ = false;
  std::vector<std::string> foreign_files_;
  std::string install_dir_;
};

}  // namespace ulmar

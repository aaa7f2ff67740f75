// UlmarUpdater: the update client of ULMAR. WinMain creates the window and
// the logs, lets the window's start timer run the session once, and closes
// the session log at program end.
#include <windows.h>

#include <memory>

#include "apply/cleanup.h"
#include "build_config.h"
#include "log/session_log.h"
#include "log/traffic_log.h"
#include "platform/clock.h"
#include "platform/exe_path.h"
#include "session/run_session.h"
#include "ui/error_box.h"
#include "ui/main_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  std::unique_ptr<ulmar::RegionalClock> clock = ulmar::MakeSystemClock();
  ulmar::SessionLog log(*clock);
  ulmar::TrafficLog tcp_log(*clock);
  ulmar::TrafficLog ftp_log(*clock);
  std::unique_ptr<ulmar::Registry> registry = ulmar::MakeSystemRegistry();
  std::unique_ptr<ulmar::AliasConfig> aliases = ulmar::MakeFileAliasConfig(ulmar::kAliasConfigPath);
  std::unique_ptr<ulmar::OdbcInstaller> odbc = ulmar::MakeSystemOdbcInstaller();
  std::unique_ptr<ulmar::Workstation> workstation = ulmar::MakeSystemWorkstation();
  int exit_code = 0;
  try {
    std::unique_ptr<ulmar::MainWindow> window;
    window = std::make_unique<ulmar::MainWindow>(instance, [&] {
      ulmar::SessionServices services{*window,   log,          tcp_log,      ftp_log,
                                      *clock,    *registry,    *aliases,     *odbc,
                                      *workstation, window->ForeignFiles(), window->InstallDir(),
                                      ulmar::ExeDir(), ulmar::ExeName(), ulmar::build::kUpdateServer};
      services.support_host = ulmar::build::kSupportHost;
      ulmar::RunSession(services);
    });
    window->on_garbage_button = [&] {
      ulmar::ShowForeignFiles(*window, window->ForeignFiles(), window->InstallDir());
    };
    window->on_gab_del = [&] { ulmar::DeleteForeignFiles(*window, window->ForeignFiles(), window->InstallDir()); };
    exit_code = window->Run();
  } catch (const std::exception& e) {
    ulmar::ShowDefaultError(nullptr, e.what());
    exit_code = 1;
  }
  try {
    log.CloseLog();
  } catch (const std::exception& e) {
    ulmar::ShowDefaultError(nullptr, e.what());
  }
  return exit_code;
}

// UlmarUpdater: the update client of ULMAR. WinMain creates the window and
// the logs, lets the window's start timer run the session once, and closes
// the session log at program end. The composition root: the only file that
// sees both the session's stage order and the window.
#include <windows.h>

#include <memory>

#include "app/run_session.h"
#include "apply/cleanup.h"
#include "build_config.h"
#include "platform/exe_path.h"
#include "ui/error_box.h"
#include "ui/main_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Before anything is read or written.
  if (!ulmar::CheckCodePage()) return 1;
  std::unique_ptr<ulmar::RegionalClock> clock = ulmar::MakeSystemClock();
  ulmar::SessionLog log(*clock);
  ulmar::TrafficLog tcp_log(*clock);
  ulmar::TrafficLog ftp_log(*clock);
  std::unique_ptr<ulmar::Registry> registry = ulmar::MakeSystemRegistry();
  // The database engine, loaded when the session first needs it and closed
  // at program end.
  std::unique_ptr<ulmar::AliasConfig> aliases = ulmar::MakeEngineAliasConfig();
  std::unique_ptr<ulmar::OdbcInstaller> odbc = ulmar::MakeSystemOdbcInstaller();
  std::unique_ptr<ulmar::ProcessStarter> processes = ulmar::MakeSystemProcessStarter();
  std::unique_ptr<ulmar::IniFiles> ini_files = ulmar::MakeSystemIniFiles();
  ulmar::Machine machine{.registry = *registry,
                         .odbc = *odbc,
                         .aliases = *aliases,
                         .processes = *processes,
                         .ini_files = *ini_files,
                         .clock = *clock};
  ulmar::Network network{.tcp_log = tcp_log, .ftp_log = ftp_log, .server_address = ulmar::build::kUpdateServer};
  const ulmar::Program program{
      .exe_dir = ulmar::ExeDir(), .exe_name = ulmar::ExeName(), .support_host = ulmar::build::kSupportHost};
  int exit_code = 1;
  ulmar::RunShowingErrors(nullptr, [&] {
    std::unique_ptr<ulmar::MainWindow> window;
    window = std::make_unique<ulmar::MainWindow>(instance, [&] {
      ulmar::Heartbeat heartbeat([&] { window->ProcessMessages(); });
      ulmar::Reporter reporter{.display = *window, .log = log, .heartbeat = heartbeat};
      ulmar::RunSession(reporter, machine, network, program);
    });
    window->on_garbage_button = [&] {
      ulmar::ShowForeignFiles(*window, window->ForeignFiles(), window->InstallDir());
    };
    window->on_gab_del = [&] { ulmar::DeleteForeignFiles(*window, window->ForeignFiles(), window->InstallDir()); };
    exit_code = window->Run();
  });
  ulmar::RunShowingErrors(nullptr, [&] { log.CloseLog(); });
  return exit_code;
}

// The update session: one run from the start timer to the end, on the
// window's thread. Every outcome is shown through the display operations
// and written to the logs; nothing is returned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "log/session_log.h"
#include "log/traffic_log.h"
#include "platform/alias_config.h"
#include "platform/clock.h"
#include "platform/odbc_installer.h"
#include "platform/registry.h"
#include "platform/workstation.h"
#include "session/connection.h"
#include "session/display.h"

namespace ulmar {

// The update server's port.
inline constexpr uint16_t kServerPort = 8090;

// What the session works with; owned by the caller for the program's life.
struct SessionServices {
  Display& display;
  SessionLog& log;
  TrafficLog& tcp_log;  // "Logs\tcp_clnt.log", the update server's traffic
  TrafficLog& ftp_log;  // "Logs\ftp_clnt.log", the FTP control connections
  const RegionalClock& clock;
  Registry& registry;
  AliasConfig& aliases;
  OdbcInstaller& odbc;
  Workstation& workstation;
  // State the session leaves in the window: the foreign files the server
  // named and the installation directory.
  std::vector<std::string>& foreign_files;
  std::string& install_dir;
  std::string exe_dir;         // the program's directory, with a trailing backslash
  std::string exe_name;        // the program's file name, e.g. "UlmarUpdater.exe"
  std::string server_address;  // the update server, an IPv4 literal
  uint16_t server_port = kServerPort;  // fixed for the product; tests may move it
  uint16_t ftp_port = 21;              // likewise
  std::string support_host{};          // host of the support page
  NetworkLimits limits{};
};

void RunSession(SessionServices& services);

}  // namespace ulmar

// The roles the session's stages are given, each a small bundle of what one
// side of the work needs; the caller owns everything they refer to for the
// program's life. A stage takes only the roles it uses.
#pragma once

#include <cstdint>
#include <string>

#include "base/heartbeat.h"
#include "platform/alias_config.h"
#include "log/session_log.h"
#include "log/traffic_log.h"
#include "net/connection.h"
#include "platform/clock.h"
#include "platform/ini_files.h"
#include "platform/odbc_installer.h"
#include "platform/processes.h"
#include "platform/registry.h"
#include "session/display.h"
#include "wire/elements.h"

namespace ulmar {

// What the operator sees and what the session log keeps, and the heartbeat
// that handles the window's messages during long work.
struct Reporter {
  Display& display;
  SessionLog& log;
  Heartbeat& heartbeat;
};

// The workstation the session reads and changes.
struct Machine {
  Registry& registry;
  OdbcInstaller& odbc;
  AliasConfig& aliases;
  ProcessStarter& processes;
  IniFiles& ini_files;
  const RegionalClock& clock;
};

// Where the update server and the FTP servers are reached, and the traffic
// logs of both.
struct Network {
  TrafficLog& tcp_log;  // "Logs\tcp_clnt.log", the update server's traffic
  TrafficLog& ftp_log;  // "Logs\ftp_clnt.log", the FTP control connections
  std::string server_address;                 // the update server, an IPv4 literal
  uint16_t server_port = wire::kServerPort;  // fixed for the product; tests may move it
  uint16_t ftp_port = 21;                     // likewise
  NetworkLimits limits{};
};

// The running program itself.
struct Program {
  std::string exe_dir;       // its directory, with a trailing backslash
  std::string exe_name;      // its file name, e.g. "UlmarUpdater.exe"
  std::string support_host;  // host of the support page
};

}  // namespace ulmar

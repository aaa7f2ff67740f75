// A session with everything but the network faked or in a temporary folder:
// a recording display, real log files, an in-memory registry holding an
// installation, and an in-memory database engine.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "app/run_session.h"
#include "unit/fake_alias_config.h"
#include "unit/fake_clock.h"
#include "unit/fake_registry.h"
#include "unit/fake_machine.h"
#include "unit/recording_display.h"
#include "unit/temp_dir.h"

namespace ulmar::testing {

class SessionFixture : public ::testing::Test {
 public:
  SessionFixture() {
    std::filesystem::create_directories(dir.Path() / "client");
    std::filesystem::create_directories(dir.Path() / "install");
  }

  // The installation's registry values as the system's installer writes them.
  void Install(const std::string& suite = "STUDENT", const std::string& user = "ivanov") {
    std::filesystem::create_directories(dir.Path() / "client" / "Logs");
    registry.SetString(RegistryRoot::LocalMachine, "SOFTWARE\\ULMAR", "LocalDir", install_dir);
    registry.SetString(RegistryRoot::LocalMachine, "SOFTWARE\\ULMAR", "SuiteCode", suite);
    registry.SetString(RegistryRoot::LocalMachine, "SOFTWARE\\ULMAR", "UserID", user);
    // Every Windows has its Run key.
    registry.AddKey(RegistryRoot::LocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
  }

  // The update server at port of 127.0.0.1, with short network limits.
  Network NetworkAt(uint16_t port) {
    Network n{.tcp_log = tcp_log, .ftp_log = ftp_log, .server_address = "127.0.0.1", .server_port = port};
    n.limits.connect_timeout_ms = 500;
    n.limits.inactivity_limit_ms = 3000;
    return n;
  }

  void Run(uint16_t port) { Run(NetworkAt(port)); }
  void Run(Network network) {
    RunSession(reporter, machine, network, program);
    log.CloseLog();
  }

  std::string SessionLog() { return ReadAll(dir.File("client/Logs/short.log")); }
  // The session log's event texts, without time stamps and header.
  std::vector<std::string> Events() {
    std::vector<std::string> events;
    std::string text = SessionLog();
    size_t pos = text.find("\r\n");
    while (pos != std::string::npos && pos + 2 < text.size()) {
      size_t end = text.find("\r\n", pos + 2);
      std::string line = text.substr(pos + 2, end - pos - 2);
      events.push_back(line.substr(line.find(" >>> ") + 5));
      pos = end;
    }
    return events;
  }

  TempDir dir;
  std::string exe_dir = dir.Path().string() + "/client/";
  std::string install_dir = dir.Path().string() + "/install";
  FakeClock clock;
  RecordingDisplay display;
  ulmar::SessionLog log{clock};
  TrafficLog tcp_log{clock};
  TrafficLog ftp_log{clock};
  FakeRegistry registry;
  FakeAliasConfig aliases;
  FakeOdbcInstaller odbc;
  FakeProcessStarter processes;
  FakeIniFiles ini_files;
  Heartbeat heartbeat{[this] { display.ProcessMessages(); }};
  Reporter reporter{.display = display, .log = log, .heartbeat = heartbeat};
  Machine machine{.registry = registry,
                  .odbc = odbc,
                  .aliases = aliases,
                  .processes = processes,
                  .ini_files = ini_files,
                  .clock = clock};
  Program program{.exe_dir = exe_dir, .exe_name = "UlmarUpdater.exe", .support_host = "support.test"};
};

}  // namespace ulmar::testing

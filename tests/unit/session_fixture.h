// A session with everything but the network faked or in a temporary folder:
// a recording display, real log files, an in-memory registry holding an
// installation, and an alias configuration file.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "session/run_session.h"
#include "unit/fake_clock.h"
#include "unit/fake_registry.h"
#include "unit/fake_workstation.h"
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

  SessionServices Services(uint16_t port) {
    SessionServices s{display,       log,           tcp_log,     ftp_log,           clock,
                      registry,      *aliases,      odbc,        workstation,       foreign_files,
                      window_install_dir, exe_dir, "UlmarUpdater.exe", "127.0.0.1", port};
    s.support_host = "support.test";
    s.limits.connect_timeout_ms = 500;
    s.limits.inactivity_limit_ms = 3000;
    return s;
  }

  void Run(uint16_t port) {
    SessionServices s = Services(port);
    RunSession(s);
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
  std::unique_ptr<AliasConfig> aliases = MakeFileAliasConfig(dir.File("aliases.cfg"));
  FakeOdbcInstaller odbc;
  FakeWorkstation workstation;
  std::vector<std::string> foreign_files;
  std::string window_install_dir;
};

}  // namespace ulmar::testing

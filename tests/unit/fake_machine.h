// Recording fakes of the ODBC installer, the processes the session starts
// and the INI files it reads and writes.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/odbc_installer.h"
#include "platform/ini_files.h"
#include "platform/processes.h"

namespace ulmar::testing {

class FakeOdbcInstaller : public OdbcInstaller {
 public:
  struct Call {
    int request;
    std::string driver, attributes;
  };
  std::vector<Call> calls;
  bool succeed = true;
  // A standard user may make user DSNs only: system DSNs live in the
  // machine's hive.
  bool standard_user = false;
  bool ConfigDataSource(int request, const std::string& driver, const std::string& attributes) override {
    calls.push_back({request, driver, attributes});
    const bool system = request == kAddSystemDsn || request == kRemoveSystemDsn;
    return succeed && !(standard_user && system);
  }
};

class FakeProcessStarter : public ProcessStarter {
 public:
  std::vector<std::string> started;  // exe_dir + name of every start
  bool companion_starts = true;

  bool RunAndWaitIdle(const std::string& exe_dir, const std::string& name) override {
    started.push_back(exe_dir + name);
    return companion_starts;
  }
};

class FakeIniFiles : public IniFiles {
 public:
  std::map<std::string, std::string> ini;        // path|section|key -> value
  std::vector<std::string> writable_folders_of;  // INI paths that can be written
  std::vector<std::string> writes;

  std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key,
                            const std::string& default_value) override {
    auto it = ini.find(path + "|" + section + "|" + key);
    return it == ini.end() ? default_value : it->second;
  }
  bool WriteIniString(const std::string& path, const std::string& section, const std::string& key,
                      const std::string& value) override {
    bool can = false;
    for (const auto& p : writable_folders_of) can = can || p == path;
    if (!can) return false;
    writes.push_back(path);
    ini[path + "|" + section + "|" + key] = value;
    return true;
  }
};

}  // namespace ulmar::testing

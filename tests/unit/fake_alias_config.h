// An in-memory database engine for the unit tests. It keeps aliases as the
// engine does — the configuration file's entries and the session's own —
// folds letter case in names, refuses what the engine refuses (a name made
// twice, an unknown alias, a configuration that cannot be saved, no engine
// at all) and keeps what each save wrote. tests/unit/alias_contract.h holds
// it to the same behaviour as the real bridge over the stand-in engine.
#pragma once

#include <string>
#include <vector>

#include "base/cp1251.h"
#include "base/errors.h"
#include "platform/alias_config.h"

namespace ulmar::testing {

class FakeAliasConfig : public AliasConfig {
 public:
  struct Alias {
    std::string name;
    std::vector<std::string> params;  // NAME=value, TYPE included
    bool persistent = true;           // in (or for) the configuration file
  };
  std::vector<Alias> aliases;  // the engine's order
  std::vector<Alias> saved;    // the configuration file as the last save wrote it
  int saves = 0;
  Mode mode = Mode::All;
  // When not empty, the engine cannot be reached: every call raises this.
  std::string unreachable;
  // When not empty, the configuration file cannot be written: Save raises it.
  std::string save_refused;

  // A standard Paradox alias of the configuration file, as the engine's
  // administrator makes one.
  void AddParadoxAlias(const std::string& name, const std::string& path) {
    aliases.push_back({name, {"TYPE=STANDARD", "PATH=" + path, "ENABLE BCD=FALSE", "DEFAULT DRIVER=PARADOX"}, true});
  }

  std::vector<std::string> AliasNames() override {
    Reach();
    std::vector<std::string> names;
    for (const Alias& a : aliases) names.push_back(a.name);
    return names;
  }

  std::vector<std::string> AliasParams(const std::string& name) override {
    Reach();
    for (const Alias& a : aliases) {
      if (!SameTextCp1251(a.name, name)) continue;
      std::vector<std::string> params;
      for (const std::string& p : a.params) {
        if (p != "TYPE=STANDARD") params.push_back(p);
      }
      return params;
    }
    throw EngineError("Object not found.\nAlias: " + name);
  }

  void SetMode(Mode m) override {
    Reach();
    mode = m;
  }

  bool IsDefined(const std::string& name) override {
    Reach();
    return Find(name) != aliases.end();
  }

  void DeleteAlias(const std::string& name) override {
    Reach();
    auto it = Find(name);
    if (it == aliases.end()) throw EngineError("Object not found.\nAlias: " + name);
    aliases.erase(it);
  }

  void AddStandardAlias(const std::string& name, const std::string& path, const std::string& driver) override {
    Reach();
    for (const Alias& a : aliases) {
      if (SameTextCp1251(a.name, name)) throw EngineError("Name not unique in this context.\nAlias: " + name);
    }
    aliases.push_back({name, {"TYPE=STANDARD", "PATH=" + path, "ENABLE BCD=FALSE", "DEFAULT DRIVER=" + driver},
                       mode == Mode::Persistent});
  }

  void Save() override {
    Reach();
    if (!save_refused.empty()) throw EngineError(save_refused);
    saved.clear();
    for (const Alias& a : aliases) {
      if (a.persistent) saved.push_back(a);
    }
    ++saves;
  }

 private:
  void Reach() {
    if (!unreachable.empty()) throw EngineError(unreachable);
  }

  std::vector<Alias>::iterator Find(const std::string& name) {
    for (auto it = aliases.begin(); it != aliases.end(); ++it) {
      if (SameTextCp1251(it->name, name) && (mode == Mode::All || it->persistent)) return it;
    }
    return aliases.end();
  }
};

}  // namespace ulmar::testing

// The database engine's alias configuration, as the data-source operations
// use it. On Windows it is the Borland Database Engine itself, reached
// through its own API (win32/engine_aliases.cpp); the tests put an
// in-memory engine in its place.
//
// Texts are code page 1251 here, whatever the engine keeps inside. Alias
// names compare without regard to letter case.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace ulmar {

class AliasConfig {
 public:
  virtual ~AliasConfig() = default;
  // Every alias name, in the engine's order. Raises EngineError.
  virtual std::vector<std::string> AliasNames() = 0;
  // An alias's parameters as NAME=value lines, in the engine's order; the
  // TYPE line of a standard alias is left out. Found wherever the engine
  // keeps the alias (its configuration file or the session), as every
  // listed alias can be read. Raises EngineError, also for an unknown alias.
  virtual std::vector<std::string> AliasParams(const std::string& name) = 0;

  // Which entries the operations below act on: the configuration file's
  // only, or every entry (virtual, persistent and the session's own; the
  // engine's default).
  enum class Mode { Persistent, All };
  // Raises EngineError.
  virtual void SetMode(Mode mode) = 0;
  // Whether an alias of this name is defined under the current mode.
  // Raises EngineError.
  virtual bool IsDefined(const std::string& name) = 0;
  // Deletes the alias under the current mode. Raises EngineError.
  virtual void DeleteAlias(const std::string& name) = 0;
  // Adds a standard alias: PATH=path, ENABLE BCD=FALSE, DEFAULT DRIVER=driver.
  // Under Persistent mode it goes into the configuration file at the next
  // Save, otherwise it lives for the session only. Raises EngineError.
  virtual void AddStandardAlias(const std::string& name, const std::string& path, const std::string& driver) = 0;
  // Writes the engine's configuration file. Raises EngineError.
  virtual void Save() = 0;
};

// The database engine installed on this workstation (Windows only). Its
// library is loaded when first needed, so the program starts without the
// engine; every operation then raises EngineError saying so. The engine is
// closed when the object goes.
std::unique_ptr<AliasConfig> MakeEngineAliasConfig();

}  // namespace ulmar

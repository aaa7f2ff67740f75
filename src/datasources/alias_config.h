// The database engine's alias configuration. The engine itself is not on
// the machines we build for, so this is our own small component: a
// persistent text file at a fixed path plus the session's in-memory view of
// it. On a workstation with the real engine, this interface is where a
// bridge to the engine's own configuration goes.
//
// File format, code page 1251, one alias per section, parameters in order:
//   [ALIAS NAME]
//   TYPE=STANDARD
//   PATH=C:\Data\Tables
//   ENABLE BCD=FALSE
//   DEFAULT DRIVER=PARADOX
// Blank lines and lines starting with ';' are ignored. Alias names compare
// without regard to letter case. A missing file is an empty configuration.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace ulmar {

class AliasConfig {
 public:
  virtual ~AliasConfig() = default;
  // Every alias name, in the configuration's order. Raises EngineError.
  virtual std::vector<std::string> AliasNames() = 0;
  // An alias's parameters as NAME=value lines, in order; the TYPE line of a
  // standard alias is left out. Raises EngineError for an unknown alias.
  virtual std::vector<std::string> AliasParams(const std::string& name) = 0;

  // Which entries the operations below act on: the configuration file's
  // only, or those and the session's own (the default).
  enum class Mode { Persistent, All };
  virtual void SetMode(Mode mode) = 0;
  // Whether an alias of this name is defined under the current mode.
  virtual bool IsDefined(const std::string& name) = 0;
  // Deletes the alias under the current mode. Raises EngineError.
  virtual void DeleteAlias(const std::string& name) = 0;
  // Adds a standard alias: PATH=path, ENABLE BCD=FALSE, DEFAULT DRIVER=driver.
  // Under Persistent mode it goes into the file at the next Save, otherwise
  // it lives for the session only. Raises EngineError.
  virtual void AddStandardAlias(const std::string& name, const std::string& path, const std::string& driver) = 0;
  // Writes the configuration file (whole, never half-written). Raises
  // EngineError.
  virtual void Save() = 0;
};

// Where the product keeps the configuration: outside the installation and
// the client's folder, so the scan never reports it.
inline constexpr char kAliasConfigPath[] = "C:\\ProgramData\\Borland Shared\\BDE\\ulmar_aliases.cfg";

// The configuration kept in the file at path, read when first needed.
std::unique_ptr<AliasConfig> MakeFileAliasConfig(const std::string& path);

}  // namespace ulmar

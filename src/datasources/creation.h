// Making the data sources the server sends exist on this computer, with
// exactly the received settings, replacing one of the same name: ODBC DSNs
// of the "SQL Server" driver through the ODBC installer, Paradox aliases
// through the engine's alias configuration.
#pragma once

#include <string>

#include "wire/records.h"
#include "platform/alias_config.h"
#include "platform/odbc_installer.h"
#include "platform/registry.h"

namespace ulmar {

class DataSourceCreator {
 public:
  DataSourceCreator(Registry& registry, OdbcInstaller& odbc, AliasConfig& aliases)
      : registry_(registry), odbc_(odbc), aliases_(aliases) {}

  bool DataSourceExists(const TDBAlias& record);
  // True when the ODBC installer reported success; false for other kinds.
  bool RemoveDataSource(const TDBAlias& record);
  // False when the installer reported failure, and always for Paradox
  // aliases and unknown kinds. Raises the engine's errors.
  bool CreateDataSource(const TDBAlias& record);
  // Deletes the DSN's "Encrypt" value in the given hive; true when the key
  // opened. Never raises.
  bool ClearDsnEncrypt(RegistryRoot root, const std::string& name);
  void CreateParadoxAlias(const std::string& name, const std::string& path);

  // The attribute lists of the requests.
  static std::string CreationAttributes(const TDBAlias& record);
  static std::string RemovalAttributes(const TDBAlias& record);

 private:
  Registry& registry_;
  OdbcInstaller& odbc_;
  AliasConfig& aliases_;
};

}  // namespace ulmar

// The data sources configured on this machine, as the client reports them:
// user DSNs, then system DSNs (SQL Server driver only), then Paradox
// aliases of the database engine. Reads only.
#pragma once

#include <string>
#include <vector>

#include "base/heartbeat.h"
#include "wire/records.h"
#include "platform/alias_config.h"
#include "platform/registry.h"

namespace ulmar {

// The ODBC data sources' key in either hive.
inline constexpr char kOdbcIniKey[] = "Software\\ODBC\\ODBC.INI";

// Raises the registry layer's "Invalid data type for '...'" for a Driver,
// Database or Server value that is not text, and the engine's errors. The
// heartbeat, when given, is ticked after every data source looked at.
std::vector<TDBAlias> CollectDataSources(Registry& registry, AliasConfig& aliases, Heartbeat* heartbeat = nullptr);

// The key opens and its "Driver" text ends with "SQLSRV32.dll" (exact case).
bool IsSqlServerDsn(Registry& registry, RegistryRoot root, const std::string& path);
// The value's text; empty when the key cannot be opened or has no such value.
std::string ReadDsnValue(Registry& registry, RegistryRoot root, const std::string& path, const std::string& name);
// The first three parameters begin "PATH=", "ENABLE BCD=FALSE",
// "DEFAULT DRIVER=PARADOX", in this order (exact case).
bool IsParadoxAlias(AliasConfig& aliases, const std::string& name);
// The first parameter after "PATH="; empty with fewer than two parameters.
std::string GetAliasPath(AliasConfig& aliases, const std::string& name);

}  // namespace ulmar

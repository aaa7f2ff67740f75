// One data source: an ODBC DSN of the SQL Server driver or a Paradox alias
// of the database engine.
#pragma once

#include <cstdint>
#include <string>

namespace ulmar {

enum DataSourceKind : uint8_t { SystemDsn = 0, UserDsn = 1, ParadoxAlias = 2 };

struct TDBAlias {
  std::string Name;
  std::string Database;  // ODBC: database name; Paradox: the alias's directory
  std::string Server;    // ODBC: server name; Paradox: empty
  uint8_t Kind = 0;      // a DataSourceKind; a server may send any byte
};

}  // namespace ulmar

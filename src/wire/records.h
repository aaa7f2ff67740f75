// The records the client reports: one installation file, and one data
// source (an ODBC DSN of the SQL Server driver or a Paradox alias of the
// database engine). The data-source record is also what the server sends
// back for each data source to create.
#pragma once

#include <cstdint>
#include <string>

namespace ulmar {

struct TLocalFileInfo {
  TLocalFileInfo(std::string file_name, uint32_t crc) : FileName(std::move(file_name)), CRC(crc) {}
  std::string FileName;  // relative: "readme.txt", "Bin\lib.dll"
  uint32_t CRC;
};

enum DataSourceKind : uint8_t { SystemDsn = 0, UserDsn = 1, ParadoxAlias = 2 };

struct TDBAlias {
  std::string Name;
  std::string Database;  // ODBC: database name; Paradox: the alias's directory
  std::string Server;    // ODBC: server name; Paradox: empty
  uint8_t Kind = 0;      // a DataSourceKind; a server may send any byte
};

}  // namespace ulmar

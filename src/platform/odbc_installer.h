// The ODBC installer: SQLConfigDataSource with no parent window.
#pragma once

#include <memory>
#include <string>

namespace ulmar {

class OdbcInstaller {
 public:
  enum Request { kAddDsn = 1, kRemoveDsn = 3, kAddSystemDsn = 4, kRemoveSystemDsn = 6 };
  virtual ~OdbcInstaller() = default;
  // attributes: keyword=value texts, each ended by a NUL, a second NUL at
  // the end. True when the installer reports success; never raises.
  virtual bool ConfigDataSource(int request, const std::string& driver, const std::string& attributes) = 0;
};

// The system's ODBC installer (Windows only).
std::unique_ptr<OdbcInstaller> MakeSystemOdbcInstaller();

}  // namespace ulmar

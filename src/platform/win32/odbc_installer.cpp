// The ODBC installer through odbccp32.
#include <windows.h>
#include <odbcinst.h>

#include "platform/odbc_installer.h"

namespace ulmar {
namespace {

class Win32OdbcInstaller : public OdbcInstaller {
 public:
  bool ConfigDataSource(int request, const std::string& driver, const std::string& attributes) override {
    return SQLConfigDataSource(nullptr, static_cast<WORD>(request), driver.c_str(), attributes.c_str()) != FALSE;
  }
};

}  // namespace

std::unique_ptr<OdbcInstaller> MakeSystemOdbcInstaller() { return std::make_unique<Win32OdbcInstaller>(); }

}  // namespace ulmar

#include "datasources/creation.h"

#include "datasources/collect.h"
#include "base/cp1251.h"

namespace ulmar {
namespace {

constexpr char kDriver[] = "SQL Server";

}  // namespace

std::string DataSourceCreator::CreationAttributes(const TDBAlias& r) {
  std::string a;
  a += "DSN=" + r.Name + '\0';
  a += "Database=" + r.Database + '\0';
  a += "Server=" + r.Server + '\0';
  a += std::string("Network=DBMSSOCN") + '\0';
  a += '\0';
  return a;
}

std::string DataSourceCreator::RemovalAttributes(const TDBAlias& r) { return "DSN=" + r.Name + std::string(3, '\0'); }

bool DataSourceCreator::DataSourceExists(const TDBAlias& r) {
  switch (r.Kind) {
    case SystemDsn:
    case UserDsn: {
      RegistryRoot root = r.Kind == SystemDsn ? RegistryRoot::LocalMachine : RegistryRoot::CurrentUser;
      return registry_.Open(root, std::string(kOdbcIniKey) + "\\" + r.Name, RegistryAccess::Read) != nullptr;
    }
    case ParadoxAlias:
      for (const std::string& name : aliases_.AliasNames()) {
        if (SameTextCp1251(name, r.Name)) return true;
      }
      return false;
    default:
      return false;
  }
}

bool DataSourceCreator::RemoveDataSource(const TDBAlias& r) {
  if (r.Kind == SystemDsn) return odbc_.ConfigDataSource(OdbcInstaller::kRemoveSystemDsn, kDriver, RemovalAttributes(r));
  if (r.Kind == UserDsn) return odbc_.ConfigDataSource(OdbcInstaller::kRemoveDsn, kDriver, RemovalAttributes(r));
  return false;
}

bool DataSourceCreator::CreateDataSource(const TDBAlias& r) {
  switch (r.Kind) {
    case UserDsn:
      if (!odbc_.ConfigDataSource(OdbcInstaller::kAddDsn, kDriver, CreationAttributes(r))) return false;
      return ClearDsnEncrypt(RegistryRoot::CurrentUser, r.Name);
    case SystemDsn:
      // A system DSN lives in the machine's hive: its "Encrypt" is cleared
      // there, and a user DSN of the same name is left alone.
      if (!odbc_.ConfigDataSource(OdbcInstaller::kAddSystemDsn, kDriver, CreationAttributes(r))) return false;
      return ClearDsnEncrypt(RegistryRoot::LocalMachine, r.Name);
    case ParadoxAlias:
      CreateParadoxAlias(r.Name, r.Database);
      return false;
    default:
      return false;
  }
}

bool DataSourceCreator::ClearDsnEncrypt(RegistryRoot root, const std::string& name) {
  try {
    auto key = registry_.Open(root, "\\" + std::string(kOdbcIniKey) + "\\" + name, RegistryAccess::All);
    if (!key) return false;
    key->DeleteValue("Encrypt");
    return true;
  } catch (...) {
    return false;
  }
}

void DataSourceCreator::CreateParadoxAlias(const std::string& name, const std::string& path) {
  if (aliases_.IsDefined(name)) aliases_.DeleteAlias(name);
  aliases_.SetMode(AliasConfig::Mode::Persistent);
  try {
    aliases_.AddStandardAlias(name, path, "PARADOX");
    aliases_.Save();
  } catch (...) {
    aliases_.SetMode(AliasConfig::Mode::All);
    throw;
  }
  aliases_.SetMode(AliasConfig::Mode::All);
}

}  // namespace ulmar

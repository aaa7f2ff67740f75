#include "datasources/collect.h"

#include "base/text.h"

namespace ulmar {
namespace {

void CollectDsns(Registry& registry, RegistryRoot root, uint8_t kind, std::vector<TDBAlias>& out,
                 Heartbeat* heartbeat) {
  std::vector<std::string> names;
  {
    auto key = registry.Open(root, kOdbcIniKey, RegistryAccess::Read);
    if (!key) return;
    names = key->SubkeyNames();
  }
  for (const std::string& name : names) {
    Tick(heartbeat);
    std::string path = std::string(kOdbcIniKey) + "\\" + name;
    if (!IsSqlServerDsn(registry, root, path)) continue;
    std::string database = ReadDsnValue(registry, root, path, "Database");
    std::string server = ReadDsnValue(registry, root, path, "Server");
    out.push_back({name, database, server, kind});
  }
}

}  // namespace

bool IsSqlServerDsn(Registry& registry, RegistryRoot root, const std::string& path) {
  auto key = registry.Open(root, path, RegistryAccess::Read);
  if (!key) return false;
  std::optional<std::string> driver = key->ReadString("Driver");
  return driver && EndsWith(*driver, "SQLSRV32.dll");
}

std::string ReadDsnValue(Registry& registry, RegistryRoot root, const std::string& path, const std::string& name) {
  auto key = registry.Open(root, path, RegistryAccess::Read);
  if (!key) return std::string();
  return key->ReadString(name).value_or("");
}

bool IsParadoxAlias(AliasConfig& aliases, const std::string& name) {
  std::vector<std::string> params = aliases.AliasParams(name);
  return params.size() >= 3 && params[0].rfind("PATH=", 0) == 0 && params[1].rfind("ENABLE BCD=FALSE", 0) == 0 &&
         params[2].rfind("DEFAULT DRIVER=PARADOX", 0) == 0;
}

std::string GetAliasPath(AliasConfig& aliases, const std::string& name) {
  std::vector<std::string> params = aliases.AliasParams(name);
  if (params.size() < 2) return std::string();
  return params[0].size() > 5 ? params[0].substr(5) : std::string();
}

std::vector<TDBAlias> CollectDataSources(Registry& registry, AliasConfig& aliases, Heartbeat* heartbeat) {
  std::vector<TDBAlias> sources;
  CollectDsns(registry, RegistryRoot::CurrentUser, UserDsn, sources, heartbeat);
  CollectDsns(registry, RegistryRoot::LocalMachine, SystemDsn, sources, heartbeat);
  Tick(heartbeat);
  for (const std::string& name : aliases.AliasNames()) {
    Tick(heartbeat);
    if (IsParadoxAlias(aliases, name)) sources.push_back({name, GetAliasPath(aliases, name), "", ParadoxAlias});
  }
  return sources;
}

}  // namespace ulmar

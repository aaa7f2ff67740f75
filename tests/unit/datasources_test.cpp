#include <gtest/gtest.h>

#include "datasources/collect.h"
#include "base/errors.h"
#include "unit/alias_contract.h"
#include "unit/fake_alias_config.h"
#include "unit/fake_registry.h"

namespace ulmar {
namespace {

using testing::FakeRegistry;
constexpr auto HKLM = RegistryRoot::LocalMachine;
constexpr auto HKCU = RegistryRoot::CurrentUser;

// A DSN's key; a value left out (nullopt) is not there at all.
void AddDsn(FakeRegistry& r, RegistryRoot root, const std::string& name, const std::string& driver,
            const std::optional<std::string>& database = "db", const std::optional<std::string>& server = "srv",
            testing::ValueType driver_type = testing::ValueType::String) {
  std::string path = std::string(kOdbcIniKey) + "\\" + name;
  r.Set(root, path, "Driver", {driver_type, driver});
  if (database) r.SetString(root, path, "Database", *database);
  if (server) r.SetString(root, path, "Server", *server);
}

std::string Describe(const std::vector<TDBAlias>& sources) {
  std::string out;
  for (const auto& s : sources) out += std::to_string(s.Kind) + ":" + s.Name + "|" + s.Database + "|" + s.Server + ";";
  return out;
}

class DataSourcesTest : public ::testing::Test {
 protected:
  std::vector<TDBAlias> Collect() { return CollectDataSources(registry, aliases); }
  FakeRegistry registry;
  testing::FakeAliasConfig aliases;
};

TEST_F(DataSourcesTest, NothingConfiguredGivesAnEmptyList) { EXPECT_TRUE(Collect().empty()); }

TEST_F(DataSourcesTest, UserDsnsThenSystemDsnsOfTheSqlServerDriverOnly) {
  registry.AddKey(HKCU, kOdbcIniKey);
  registry.AddKey(HKCU, std::string(kOdbcIniKey) + "\\ODBC Data Sources");  // the index: no Driver
  AddDsn(registry, HKCU, "X", "C:\\WINDOWS\\System32\\SQLSRV32.dll", "Учёт", "S1");
  AddDsn(registry, HKCU, "Lower", "C:\\WINDOWS\\System32\\sqlsrv32.dll");
  AddDsn(registry, HKCU, "Inside", "SQLSRV32.dll.old");
  AddDsn(registry, HKCU, "NoValues", "SQLSRV32.dll", std::nullopt, std::nullopt);
  AddDsn(registry, HKCU, "EmptyServer", "SQLSRV32.dll", "Учёт", "");
  // An expandable string is text too, taken as stored.
  AddDsn(registry, HKCU, "Expandable", "%SystemRoot%\\System32\\SQLSRV32.dll", "db", "srv",
         testing::ValueType::ExpandableString);
  AddDsn(registry, HKLM, "X", "SQLSRV32.dll", "Main", "S2");
  AddDsn(registry, HKLM, "Access", "C:\\odbcjt32.dll");
  EXPECT_EQ(Describe(Collect()), "1:X|Учёт|S1;1:NoValues||;1:EmptyServer|Учёт|;1:Expandable|db|srv;0:X|Main|S2;");
}

TEST_F(DataSourcesTest, AValueThatIsNotTextEndsTheInventory) {
  for (const char* name : {"Driver", "Database", "Server"}) {
    FakeRegistry one_bad;
    AddDsn(one_bad, HKLM, "Bad", "SQLSRV32.dll");
    one_bad.SetBinary(HKLM, std::string(kOdbcIniKey) + "\\Bad", name);
    try {
      CollectDataSources(one_bad, aliases);
      ADD_FAILURE() << name << ": collected";
    } catch (const RegistryError& e) {
      EXPECT_EQ(e.Message(), "Invalid data type for '" + std::string(name) + "'");
    }
  }
}

TEST_F(DataSourcesTest, ParadoxAliasesNeedTheirThreeParametersInOrder) {
  using Params = std::vector<std::string>;
  aliases.AddParadoxAlias("Books", "C:\\Data\\Книги");
  aliases.aliases.push_back({"Swapped", Params{"TYPE=STANDARD", "PATH=C:\\S", "DEFAULT DRIVER=PARADOX", "ENABLE BCD=FALSE"}});
  aliases.AddParadoxAlias("NoPath", "");
  aliases.aliases.push_back({"Dbase", Params{"TYPE=STANDARD", "PATH=C:\\D", "ENABLE BCD=FALSE", "DEFAULT DRIVER=DBASE"}});
  aliases.aliases.push_back({"Remote", Params{"TYPE=MSSQL", "SERVER NAME=S"}});
  aliases.aliases.push_back({"Short", Params{"TYPE=STANDARD", "PATH=C:\\P"}});
  EXPECT_EQ(Describe(Collect()), "2:Books|C:\\Data\\Книги|;2:NoPath||;");
  EXPECT_EQ(GetAliasPath(aliases, "Swapped"), "C:\\S");
  EXPECT_EQ(GetAliasPath(aliases, "Short"), "");  // one parameter: too few for a path
}

TEST_F(DataSourcesTest, AnEngineErrorEndsTheInventory) {
  aliases.unreachable = "Cannot load the database engine";
  try {
    Collect();
    FAIL() << "collected";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.Message(), "Cannot load the database engine");
  }
}

// The in-memory engine holds to what the bridge over the stand-in engine
// does under Wine.
struct FakeEnginePlace {
  testing::FakeAliasConfig fake;
  AliasConfig& aliases() { return fake; }
  void Restart() {
    fake.aliases = fake.saved;
    fake.mode = AliasConfig::Mode::All;
  }
};

}  // namespace

namespace testing {
INSTANTIATE_TYPED_TEST_SUITE_P(Fake, AliasContract, FakeEnginePlace);
}  // namespace testing
}  // namespace ulmar

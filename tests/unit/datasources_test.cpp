#include <gtest/gtest.h>

#include "datasources/collect.h"
#include "base/errors.h"
#include "unit/fake_registry.h"
#include "unit/temp_dir.h"

namespace ulmar {
namespace {

using testing::FakeRegistry;
constexpr auto HKLM = RegistryRoot::LocalMachine;
constexpr auto HKCU = RegistryRoot::CurrentUser;

void AddDsn(FakeRegistry& r, RegistryRoot root, const std::string& name, const std::string& driver,
            const std::string& database = "db", const std::string& server = "srv") {
  std::string path = std::string(kOdbcIniKey) + "\\" + name;
  r.SetString(root, path, "Driver", driver);
  if (!database.empty()) r.SetString(root, path, "Database", database);
  if (!server.empty()) r.SetString(root, path, "Server", server);
}

std::string Describe(const std::vector<TDBAlias>& sources) {
  std::string out;
  for (const auto& s : sources) out += std::to_string(s.Kind) + ":" + s.Name + "|" + s.Database + "|" + s.Server + ";";
  return out;
}

class DataSourcesTest : public ::testing::Test {
 protected:
  std::vector<TDBAlias> Collect() {
    auto aliases = MakeFileAliasConfig(dir.File("aliases.cfg"));
    return CollectDataSources(registry, *aliases);
  }
  testing::TempDir dir;
  FakeRegistry registry;
};

TEST_F(DataSourcesTest, NothingConfiguredGivesAnEmptyList) { EXPECT_TRUE(Collect().empty()); }

TEST_F(DataSourcesTest, UserDsnsThenSystemDsnsOfTheSqlServerDriverOnly) {
  registry.AddKey(HKCU, kOdbcIniKey);
  registry.AddKey(HKCU, std::string(kOdbcIniKey) + "\\ODBC Data Sources");  // the index: no Driver
  AddDsn(registry, HKCU, "X", "C:\\WINDOWS\\System32\\SQLSRV32.dll", "Учёт", "S1");
  AddDsn(registry, HKCU, "Lower", "C:\\WINDOWS\\System32\\sqlsrv32.dll");
  AddDsn(registry, HKCU, "Inside", "SQLSRV32.dll.old");
  AddDsn(registry, HKCU, "NoValues", "SQLSRV32.dll", "", "");
  AddDsn(registry, HKLM, "X", "SQLSRV32.dll", "Main", "S2");
  AddDsn(registry, HKLM, "Access", "C:\\odbcjt32.dll");
  EXPECT_EQ(Describe(Collect()), "1:X|Учёт|S1;1:NoValues||;0:X|Main|S2;");
}

TEST_F(DataSourcesTest, ADriverValueThatIsNotTextEndsTheInventory) {
  registry.SetBinary(HKLM, std::string(kOdbcIniKey) + "\\Bad", "Driver");
  try {
    Collect();
    FAIL() << "collected";
  } catch (const RegistryError& e) {
    EXPECT_EQ(e.Message(), "Invalid data type for 'Driver'");
  }
}

TEST_F(DataSourcesTest, ParadoxAliasesNeedTheirThreeParametersInOrder) {
  testing::WriteAll(dir.File("aliases.cfg"),
                    "; engine aliases\r\n"
                    "[Books]\r\nTYPE=STANDARD\r\nPATH=C:\\Data\\Книги\r\nENABLE BCD=FALSE\r\nDEFAULT DRIVER=PARADOX\r\n\r\n"
                    "[Swapped]\r\nPATH=C:\\S\r\nDEFAULT DRIVER=PARADOX\r\nENABLE BCD=FALSE\r\n"
                    "[NoPath]\nPATH=\nENABLE BCD=FALSE\nDEFAULT DRIVER=PARADOX\n"
                    "[Dbase]\nPATH=C:\\D\nENABLE BCD=FALSE\nDEFAULT DRIVER=DBASE\n"
                    "[Remote]\nTYPE=MSSQL\nSERVER NAME=S\n");
  EXPECT_EQ(Describe(Collect()), "2:Books|C:\\Data\\Книги|;2:NoPath||;");
  auto aliases = MakeFileAliasConfig(dir.File("aliases.cfg"));
  EXPECT_EQ(aliases->AliasParams("books").size(), 3u);  // names compare without case; TYPE left out
  EXPECT_EQ(aliases->AliasParams("Remote").front(), "TYPE=MSSQL");
}

TEST_F(DataSourcesTest, AnUnreadableConfigurationIsAnEngineError) {
  testing::WriteAll(dir.File("aliases.cfg"), "PATH=C:\\orphan\r\n");
  EXPECT_THROW(Collect(), EngineError);
  testing::WriteAll(dir.File("aliases.cfg"), "[A]\n[a]\n");
  EXPECT_THROW(Collect(), EngineError);
}

}  // namespace
}  // namespace ulmar

// The alias bridge over the engine's API, against the stand-in engine
// library installed as the engine's installer installs itself, and on a
// workstation without the engine.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>

#include "datasources/collect.h"
#include "datasources/creation.h"
#include "platform/exe_path.h"
#include "platform/registry.h"
#include "unit/alias_contract.h"
#include "unit/failure_text.h"
#include "unit/fake_registry.h"
#include "unit/temp_dir.h"

namespace ulmar::testing {
namespace {

constexpr char kEngineKey[] = "SOFTWARE\\Borland\\Database Engine";

// The engine's registration for one test: set to the values given (a
// missing value deleted), and put back as it was afterwards.
class EngineRegistration {
 public:
  EngineRegistration(std::optional<std::string> dll_path, std::optional<std::string> config_file)
      : key_(registry_->OpenOrCreate(RegistryRoot::LocalMachine, kEngineKey)) {
    Set("DLLPATH", dll_path);
    Set("CONFIGFILE01", config_file);
  }
  ~EngineRegistration() {
    for (auto& [name, value] : previous_) Write(name, value);
  }

 private:
  void Set(const std::string& name, const std::optional<std::string>& value) {
    previous_.push_back({name, key_->ReadString(name)});
    Write(name, value);
  }
  void Write(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
      key_->WriteString(name, *value);
    } else {
      key_->DeleteValue(name);
    }
  }
  std::unique_ptr<Registry> registry_ = MakeSystemRegistry();
  std::unique_ptr<RegistryKey> key_;
  std::vector<std::pair<std::string, std::optional<std::string>>> previous_;
};

// The folder of the stand-in engine library, beside the test programs'.
std::string StandInFolder() { return ExeDir() + "..\\fixtures"; }

struct StandInPlace {
  explicit StandInPlace(const std::string& config_name = "IDAPI32.CFG") : config_file(dir.File(config_name)) {}
  TempDir dir;
  std::string config_file;
  EngineRegistration registration{StandInFolder(), config_file};
  std::unique_ptr<AliasConfig> engine = MakeEngineAliasConfig();
  AliasConfig& aliases() { return *engine; }
  void Restart() {
    engine.reset();
    engine = MakeEngineAliasConfig();
  }
};

INSTANTIATE_TYPED_TEST_SUITE_P(StandIn, AliasContract, StandInPlace);

std::string EngineErrorOf(const std::function<void()>& operation) { return FailureText<EngineError>(operation); }

// A configuration file the engine cannot write: its folder is missing.
constexpr char kUnwritableConfig[] = "missing\\IDAPI32.CFG";

TEST(EngineAliases, NamesAndPathsReachTheEngineInTheOemCodePage) {
  StandInPlace place;
  place.aliases().SetMode(AliasConfig::Mode::Persistent);
  place.aliases().AddStandardAlias("Книги", "C:\\Данные", "PARADOX");
  place.aliases().Save();
  // Code page 866: "Книги" and "Данные".
  EXPECT_EQ(ReadAll(place.config_file).substr(ReadAll(place.config_file).find('[')),
            "[\x8A\xAD\xA8\xA3\xA8]\r\nTYPE=STANDARD\r\nPATH=C:\\\x84\xA0\xAD\xAD\xEB\xA5\r\nENABLE BCD=FALSE\r\n"
            "DEFAULT DRIVER=PARADOX\r\n");
}

TEST(EngineAliases, TheEnginesOwnMessageIsTheError) {
  StandInPlace place(kUnwritableConfig);
  place.aliases().AddStandardAlias("A", "C:\\A", "PARADOX");
  EXPECT_EQ(EngineErrorOf([&] { place.aliases().Save(); }), "Cannot write to engine configuration file.");
  EXPECT_EQ(EngineErrorOf([&] { place.aliases().AddStandardAlias("a", "C:\\B", "PARADOX"); }),
            "Name not unique in this context.");
  EXPECT_EQ(EngineErrorOf([&] { place.aliases().AddStandardAlias("B", "C:\\\"B\"", "PARADOX"); }),
            "Invalid alias path: C:\\\"B\"");
}

TEST(EngineAliases, TheModeIsAllModesAgainAfterAFailedCreation) {
  StandInPlace place(kUnwritableConfig);
  place.aliases().AddStandardAlias("Session", "C:\\S", "PARADOX");
  std::unique_ptr<Registry> registry = MakeSystemRegistry();
  std::unique_ptr<OdbcInstaller> odbc = MakeSystemOdbcInstaller();
  DataSourceCreator creator(*registry, *odbc, place.aliases());
  EXPECT_THROW(creator.CreateParadoxAlias("Books", "C:\\B"), EngineError);
  // The session's own alias is seen again: the mode is all modes.
  EXPECT_TRUE(place.aliases().IsDefined("Session"));
}

TEST(EngineAliases, TheSessionsOwnAliasesAreJudgedByTheirParametersLikeTheFilesOnes) {
  StandInPlace place;
  place.aliases().SetMode(AliasConfig::Mode::Persistent);
  place.aliases().AddStandardAlias("Книги", "C:\\Книги", "PARADOX");
  place.aliases().Save();
  // Added under all modes: kept by the engine for this session only.
  place.aliases().SetMode(AliasConfig::Mode::All);
  place.aliases().AddStandardAlias("Черновики", "C:\\Черновики", "PARADOX");
  place.aliases().AddStandardAlias("Таблицы", "C:\\Таблицы", "DBASE");
  EXPECT_EQ(place.aliases().AliasParams("ЧЕРНОВИКИ"),
            (std::vector<std::string>{"PATH=C:\\Черновики", "ENABLE BCD=FALSE", "DEFAULT DRIVER=PARADOX"}));
  FakeRegistry no_dsns;
  std::vector<TDBAlias> sources = CollectDataSources(no_dsns, place.aliases());
  ASSERT_EQ(sources.size(), 2u);
  EXPECT_EQ(sources[0].Name, "Книги");
  EXPECT_EQ(sources[0].Database, "C:\\Книги");
  EXPECT_EQ(sources[1].Name, "Черновики");
  EXPECT_EQ(sources[1].Database, "C:\\Черновики");
  EXPECT_EQ(sources[1].Kind, ParadoxAlias);
  // An alias the engine holds nowhere is still an error.
  EXPECT_EQ(EngineErrorOf([&] { place.aliases().AliasParams("Нет такого"); }), "Object not found.");
}

TEST(EngineAliases, WithoutTheEngineEveryOperationSaysWhy) {
  TempDir dir;
  struct Case {
    std::optional<std::string> dll_path;
    std::string message_start;
  };
  const std::vector<Case> cases = {
      {std::nullopt, "The database engine is not installed on this computer (no DLLPATH under "
                     "HKEY_LOCAL_MACHINE\\SOFTWARE\\Borland\\Database Engine)"},
      {dir.Path().string(), "Cannot load the database engine " + dir.File("IDAPI32.DLL") + ": "},
  };
  for (const Case& c : cases) {
    EngineRegistration registration(c.dll_path, std::nullopt);
    std::unique_ptr<AliasConfig> engine = MakeEngineAliasConfig();
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_EQ(EngineErrorOf([&] { engine->AliasNames(); }).rfind(c.message_start, 0), 0u)
          << EngineErrorOf([&] { engine->AliasNames(); });
    }
    EXPECT_EQ(EngineErrorOf([&] { engine->SetMode(AliasConfig::Mode::All); }).rfind(c.message_start, 0), 0u);
  }
}

TEST(EngineAliases, ALibraryFolderWithATrailingBackslashOrAmongOthersIsFound) {
  TempDir dir;
  for (const std::string& dll_path : {StandInFolder() + "\\", dir.Path().string() + ";" + StandInFolder()}) {
    EngineRegistration registration(dll_path, dir.File("IDAPI32.CFG"));
    EXPECT_TRUE(MakeEngineAliasConfig()->AliasNames().empty()) << dll_path;
  }
}

}  // namespace
}  // namespace ulmar::testing

// What the data-source operations rely on of the database engine's alias
// configuration, as one suite of tests that runs against the in-memory
// engine of the unit tests and, under Wine, against the real bridge over
// the stand-in engine library: the fake must keep, fold and refuse what the
// engine does.
//
// A Place provides aliases() (an AliasConfig&) over an empty configuration,
// and Restart(): the engine closed and opened again, so that only what was
// saved is left.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>

#include "base/errors.h"
#include "platform/alias_config.h"

namespace ulmar::testing {

template <typename Place>
class AliasContract : public ::testing::Test {
 protected:
  Place place;
  AliasConfig& aliases() { return place.aliases(); }
  bool Listed(const std::string& name) {
    std::vector<std::string> names = aliases().AliasNames();
    return std::find(names.begin(), names.end(), name) != names.end();
  }
  // A persistent standard alias, saved, the engine opened afresh.
  void Keep(const std::string& name, const std::string& path) {
    aliases().SetMode(AliasConfig::Mode::Persistent);
    aliases().AddStandardAlias(name, path, "PARADOX");
    aliases().Save();
    aliases().SetMode(AliasConfig::Mode::All);
    place.Restart();
  }
};

TYPED_TEST_SUITE_P(AliasContract);

TYPED_TEST_P(AliasContract, ASavedStandardAliasComesBackWithItsThreeParametersInOrder) {
  this->Keep("Книги", "C:\\Данные\\Книги; архив");
  EXPECT_EQ(this->aliases().AliasNames(), std::vector<std::string>{"Книги"});
  EXPECT_EQ(this->aliases().AliasParams("КНИГИ"),
            (std::vector<std::string>{"PATH=C:\\Данные\\Книги; архив", "ENABLE BCD=FALSE", "DEFAULT DRIVER=PARADOX"}));
}

TYPED_TEST_P(AliasContract, NamesFoldLetterCaseAndUnknownOrDoubleNamesAreRefused) {
  this->Keep("Отчёты", "C:\\R");
  AliasConfig& a = this->aliases();
  EXPECT_TRUE(a.IsDefined("ОТЧЁТЫ"));
  EXPECT_THROW(a.AddStandardAlias("отчёты", "C:\\Other", "PARADOX"), EngineError);
  a.DeleteAlias("оТЧЁТЫ");
  EXPECT_FALSE(a.IsDefined("Отчёты"));
  EXPECT_THROW(a.DeleteAlias("Отчёты"), EngineError);
  EXPECT_THROW(a.AliasParams("Отчёты"), EngineError);
  EXPECT_TRUE(a.AliasNames().empty());
}

TYPED_TEST_P(AliasContract, ASessionAliasIsSeenUnderAllModesOnlyAndNeverSaved) {
  this->Keep("Kept", "C:\\K");
  AliasConfig& a = this->aliases();
  a.AddStandardAlias("Temp", "C:\\T", "PARADOX");
  EXPECT_TRUE(this->Listed("Temp"));
  a.SetMode(AliasConfig::Mode::Persistent);
  EXPECT_FALSE(a.IsDefined("Temp"));
  EXPECT_TRUE(a.IsDefined("Kept"));
  EXPECT_THROW(a.DeleteAlias("Temp"), EngineError);
  a.Save();
  a.SetMode(AliasConfig::Mode::All);
  EXPECT_TRUE(a.IsDefined("Temp"));
  this->place.Restart();
  EXPECT_FALSE(this->Listed("Temp"));
  EXPECT_TRUE(this->Listed("Kept"));
}

REGISTER_TYPED_TEST_SUITE_P(AliasContract, ASavedStandardAliasComesBackWithItsThreeParametersInOrder,
                            NamesFoldLetterCaseAndUnknownOrDoubleNamesAreRefused,
                            ASessionAliasIsSeenUnderAllModesOnlyAndNeverSaved);

}  // namespace ulmar::testing

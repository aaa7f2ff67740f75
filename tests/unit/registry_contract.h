// What the session relies on of the registry, as one suite of tests that
// runs against the in-memory registry of the unit tests and, under Wine,
// against the real one: the fake must refuse and fold what the registry
// refuses and folds.
//
// A Place provides registry (a Registry&), root, and base: a key path no
// test has used, removed again when the Place goes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>

#include "base/errors.h"
#include "platform/registry.h"

namespace ulmar::testing {

template <typename Place>
class RegistryContract : public ::testing::Test {
 protected:
  Place place;
  Registry& registry() { return place.registry(); }
  std::string Key(const std::string& name) { return place.base + "\\" + name; }
};

TYPED_TEST_SUITE_P(RegistryContract);

TYPED_TEST_P(RegistryContract, KeysAreOpenedNeverCreatedExceptByOpenOrCreate) {
  Registry& r = this->registry();
  const RegistryRoot root = this->place.root;
  EXPECT_EQ(r.Open(root, this->Key("Missing"), RegistryAccess::Read), nullptr);
  EXPECT_EQ(r.Open(root, this->Key("Missing"), RegistryAccess::Write), nullptr);
  ASSERT_NE(r.OpenOrCreate(root, this->Key("Made")), nullptr);
  EXPECT_NE(r.Open(root, this->Key("Made"), RegistryAccess::Read), nullptr);
  // A leading backslash names the same key from the root.
  EXPECT_NE(r.Open(root, "\\" + this->Key("Made"), RegistryAccess::Read), nullptr);
}

TYPED_TEST_P(RegistryContract, KeyAndValueNamesFoldLetterCaseAsCodePage1251Does) {
  Registry& r = this->registry();
  const RegistryRoot root = this->place.root;
  r.OpenOrCreate(root, this->Key("отчёты"))->WriteString("Путь", "C:\\Отчёты");
  auto upper = r.Open(root, this->Key("ОТЧЁТЫ"), RegistryAccess::Read);
  ASSERT_NE(upper, nullptr);
  EXPECT_EQ(upper->ReadString("ПУТЬ"), std::optional<std::string>("C:\\Отчёты"));
  // One key, listed under the spelling it was made with.
  r.OpenOrCreate(root, this->Key("ОТЧЁТЫ"));
  std::vector<std::string> names = r.Open(root, this->place.base, RegistryAccess::Read)->SubkeyNames();
  EXPECT_EQ(names, std::vector<std::string>{"отчёты"});
}

TYPED_TEST_P(RegistryContract, StringsAreReadToTheirFirstZeroAndValuesDeletedOnce) {
  Registry& r = this->registry();
  const RegistryRoot root = this->place.root;
  auto key = r.OpenOrCreate(root, this->Key("Values"));
  EXPECT_EQ(key->ReadString("LocalDir"), std::nullopt);
  key->WriteString("LocalDir", "C:\\ULMAR");
  key->WriteString("localdir", "D:\\ULMAR");
  key->WriteString("SuiteCode", std::string("abc\0def", 7));
  EXPECT_EQ(key->ReadString("LOCALDIR"), std::optional<std::string>("D:\\ULMAR"));
  EXPECT_EQ(key->ReadString("SuiteCode"), std::optional<std::string>("abc"));
  key->WriteString("Empty", "");
  EXPECT_EQ(key->ReadString("Empty"), std::optional<std::string>(""));
  EXPECT_TRUE(key->DeleteValue("LocalDir"));
  EXPECT_FALSE(key->DeleteValue("LocalDir"));
  EXPECT_EQ(key->ReadString("LocalDir"), std::nullopt);
}

REGISTER_TYPED_TEST_SUITE_P(RegistryContract, KeysAreOpenedNeverCreatedExceptByOpenOrCreate,
                            KeyAndValueNamesFoldLetterCaseAsCodePage1251Does,
                            StringsAreReadToTheirFirstZeroAndValuesDeletedOnce);

}  // namespace ulmar::testing

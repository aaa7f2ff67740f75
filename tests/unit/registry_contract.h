// What the session relies on of the registry, as one suite of tests that
// runs against the in-memory registry of the unit tests and, under Wine,
// against the real one: the fake must refuse and fold what the registry
// refuses and folds.
//
// A Place provides registry (a Registry&), root, and base: a key path no
// test has used, removed again when the Place goes; and Plant(path, name,
// type, bytes), which stores a value of any type byte for byte as another
// program would, past the interface (which writes plain strings only).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>

#include "base/errors.h"
#include "platform/registry.h"
#include "unit/fake_registry.h"

namespace ulmar::testing {

// Every byte of a literal but its own closing zero.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

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

TYPED_TEST_P(RegistryContract, BothKindsOfStringAreReadAsStoredAndOtherTypesRefusedByName) {
  struct Row {
    const char* name;
    ValueType type;
    std::string bytes;
    const char* text;  // nullptr: refused
  };
  const Row rows[] = {
      // Never expanded: the text is what the installer stored.
      {"Driver", ValueType::ExpandableString, Bytes("%SystemRoot%\\SQLSRV32.dll\0"), "%SystemRoot%\\SQLSRV32.dll"},
      // Stored whole by another program; the text ends at the first zero.
      {"SuiteCode", ValueType::String, Bytes("abc\0def\0"), "abc"},
      {"UserID", ValueType::Binary, Bytes("\x01\x02"), nullptr},
      {"Database", ValueType::Number, Bytes("\x01\0\0\0"), nullptr},
      {"Paths", ValueType::MultiString, Bytes("a\0b\0\0"), nullptr},
  };
  const std::string path = this->Key("Types");
  for (const Row& row : rows) this->place.Plant(path, row.name, row.type, row.bytes);
  auto key = this->registry().Open(this->place.root, path, RegistryAccess::Read);
  ASSERT_NE(key, nullptr);
  for (const Row& row : rows) {
    try {
      std::optional<std::string> text = key->ReadString(row.name);
      EXPECT_TRUE(row.text && text == std::optional<std::string>(row.text)) << row.name << ": " << text.value_or("<none>");
    } catch (const RegistryError& e) {
      EXPECT_FALSE(row.text) << row.name << ": " << e.Message();
      EXPECT_EQ(e.Message(), "Invalid data type for '" + std::string(row.name) + "'");
    }
  }
}

TYPED_TEST_P(RegistryContract, AKeyOpenedForReadingRefusesWritesNamingTheValue) {
  Registry& r = this->registry();
  const RegistryRoot root = this->place.root;
  r.OpenOrCreate(root, this->Key("Settings"))->WriteString("LastUpdated", "01.01.2020");
  auto key = r.Open(root, this->Key("Settings"), RegistryAccess::Read);
  ASSERT_NE(key, nullptr);
  try {
    key->WriteString("LastUpdated", "08.12.2026");
    ADD_FAILURE() << "written through a key opened for reading";
  } catch (const RegistryError& e) {
    EXPECT_EQ(e.Message(), "Failed to set data for 'LastUpdated'");
  }
  EXPECT_FALSE(key->DeleteValue("LastUpdated"));
  EXPECT_EQ(key->ReadString("LastUpdated"), std::optional<std::string>("01.01.2020"));
}

REGISTER_TYPED_TEST_SUITE_P(RegistryContract, KeysAreOpenedNeverCreatedExceptByOpenOrCreate,
                            KeyAndValueNamesFoldLetterCaseAsCodePage1251Does,
                            StringsAreReadToTheirFirstZeroAndValuesDeletedOnce,
                            BothKindsOfStringAreReadAsStoredAndOtherTypesRefusedByName,
                            AKeyOpenedForReadingRefusesWritesNamingTheValue);

}  // namespace ulmar::testing

#include <gtest/gtest.h>

#include "inventory/settings.h"
#include "base/errors.h"
#include "unit/fake_clock.h"
#include "unit/fake_registry.h"
#include "unit/temp_dir.h"

namespace ulmar {
namespace {

using testing::FakeRegistry;
constexpr auto HKLM = RegistryRoot::LocalMachine;

class SettingsTest : public ::testing::Test {
 protected:
  template <typename F>
  std::string MessageOf(F f) {
    try {
      f();
    } catch (const MException& e) {
      return e.Message();
    }
    return "no MException";
  }
  FakeRegistry registry;
  testing::FakeClock clock;
  InstallationSettings settings{registry, clock};
};

TEST_F(SettingsTest, LocalDirGetsOneTrailingBackslash) {
  testing::TempDir dir;
  std::string path = dir.Path().string();
  registry.SetString(HKLM, "SOFTWARE\\ULMAR", "LocalDir", path);
  EXPECT_EQ(settings.GetLocalDir(), path + "\\");
  registry.SetString(HKLM, "SOFTWARE\\ULMAR", "LocalDir", path + "\\");
  EXPECT_EQ(settings.GetLocalDir(), path + "\\");
}

TEST_F(SettingsTest, LocalDirFailuresComposeTheirMessages) {
  EXPECT_EQ(MessageOf([&] { settings.GetLocalDir(); }),
            "Не найден путь установки системы. (Не найден ключ реестра \"HKEY_LOCAL_MACHINE\\SOFTWARE\\ULMAR)");
  registry.AddKey(HKLM, "SOFTWARE\\ULMAR");
  const std::string missing =
      "Не найден путь установки системы. (Не найден ключ реестра \"HKEY_LOCAL_MACHINE\\SOFTWARE\\ULMAR\\LocalDir\")";
  EXPECT_EQ(MessageOf([&] { settings.GetLocalDir(); }), missing);
  registry.SetString(HKLM, "SOFTWARE\\ULMAR", "LocalDir", "");
  EXPECT_EQ(MessageOf([&] { settings.GetLocalDir(); }), missing);
  testing::TempDir dir;
  testing::WriteAll(dir.File("file"), "x");
  registry.SetString(HKLM, "SOFTWARE\\ULMAR", "LocalDir", dir.File("file"));
  EXPECT_EQ(MessageOf([&] { settings.GetLocalDir(); }),
            "Система не найдена по указанному пути установки. (Не найдена директория \"" + dir.File("file") +
                "\", указанная в реестре)");
}

TEST_F(SettingsTest, SuiteCodeIsReturnedUnchangedAndOnlyEmptyIsRefused) {
  EXPECT_EQ(MessageOf([&] { settings.GetSuiteCode(); }),
            "Не найден тип клиента. (Не найден ключ реестра \"HKEY_LOCAL_MACHINE\\SOFTWARE\\ULMAR)");
  registry.SetString(HKLM, "SOFTWARE\\ULMAR", "SuiteCode", "");
  EXPECT_EQ(MessageOf([&] { settings.GetSuiteCode(); }),
            "Нет информации о типе клиента. ( \"HKEY_LOCAL_MACHINE\\SOFTWARE\\ULMAR\\SuiteCode\" хранит пустую строку)");
  registry.SetString(HKLM, "SOFTWARE\\ULMAR", "SuiteCode", " ");
  EXPECT_EQ(settings.GetSuiteCode(), " ");
  registry.SetString(HKLM, "SOFTWARE\\ULMAR", "SuiteCode", std::string("abc\0def", 7));
  EXPECT_EQ(settings.GetSuiteCode(), "abc");
}

TEST_F(SettingsTest, UserIdIsNotFoundOnlyWithoutTheKey) {
  EXPECT_EQ(settings.GetUserID(), "NotFound");
  registry.AddKey(HKLM, "SOFTWARE\\ULMAR");
  EXPECT_EQ(settings.GetUserID(), "");
  registry.SetString(HKLM, "SOFTWARE\\ULMAR", "UserID", "Иванов");
  EXPECT_EQ(settings.GetUserID(), "Иванов");
  registry.SetBinary(HKLM, "SOFTWARE\\ULMAR", "UserID");
  try {
    settings.GetUserID();
    FAIL() << "read a binary value";
  } catch (const MException&) {
    FAIL() << "raised as MException";
  } catch (const RegistryError& e) {
    EXPECT_EQ(e.Message(), "Invalid data type for 'UserID'");
  }
}

TEST_F(SettingsTest, LastUpdatedIsTodaysShortDateAndSilentWithoutTheKeyOrTheRightToWriteIt) {
  settings.SetLastUpdated();  // no key: nothing, no error
  EXPECT_EQ(registry.Get(HKLM, "SOFTWARE\\ULMAR", "LastUpdated"), nullptr);
  registry.SetString(HKLM, "SOFTWARE\\ULMAR", "LastUpdated", "01.01.2020");
  settings.SetLastUpdated();
  EXPECT_EQ(registry.Get(HKLM, "SOFTWARE\\ULMAR", "LastUpdated")->data, "08.12.2026");
  // The installer did not grant the users write rights to the key: it opens
  // for reading only, and the date is silently not kept.
  registry.SetString(HKLM, "SOFTWARE\\ULMAR", "LastUpdated", "01.01.2020");
  registry.AddKey(HKLM, "SOFTWARE\\ULMAR").writable = false;
  settings.SetLastUpdated();
  EXPECT_EQ(registry.Get(HKLM, "SOFTWARE\\ULMAR", "LastUpdated")->data, "01.01.2020");
}

TEST_F(SettingsTest, ARefusedWriteOfLastUpdatedIsRaisedNamingTheValue) {
  registry.AddKey(HKLM, "SOFTWARE\\ULMAR").refuses_values = true;
  try {
    settings.SetLastUpdated();
    FAIL() << "the refused write went unnoticed";
  } catch (const RegistryError& e) {
    EXPECT_EQ(e.Message(), "Failed to set data for 'LastUpdated'");
  }
}

}  // namespace
}  // namespace ulmar

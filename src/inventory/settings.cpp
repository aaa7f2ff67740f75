#include "inventory/settings.h"

#include "base/errors.h"
#include "platform/file.h"

namespace ulmar {
namespace {

// The key as the reads of LocalDir and SuiteCode name it, and as the reads
// of UserID and the write of LastUpdated name it (from the root).
constexpr char kKey[] = "SOFTWARE\\ULMAR";
constexpr char kKeyFromRoot[] = "\\SOFTWARE\\ULMAR";
constexpr char kKeyMissing[] = "Не найден ключ реестра \"HKEY_LOCAL_MACHINE\\SOFTWARE\\ULMAR";

}  // namespace

std::string InstallationSettings::GetLocalDir() {
  std::string dir;
  {
    auto key = registry_.Open(RegistryRoot::LocalMachine, kKey, RegistryAccess::Read);
    if (!key) throw MException("Не найден путь установки системы.", kKeyMissing);
    dir = key->ReadString("LocalDir").value_or("");
  }
  if (dir.empty()) {
    throw MException("Не найден путь установки системы.",
                     "Не найден ключ реестра \"HKEY_LOCAL_MACHINE\\SOFTWARE\\ULMAR\\LocalDir\"");
  }
  if (!DirectoryExists(dir)) {
    throw MException("Система не найдена по указанному пути установки.",
                     "Не найдена директория \"" + dir + "\", указанная в реестре");
  }
  if (dir.back() != '\\') dir += '\\';
  return dir;
}

std::string InstallationSettings::GetSuiteCode() {
  auto key = registry_.Open(RegistryRoot::LocalMachine, kKey, RegistryAccess::Read);
  if (!key) throw MException("Не найден тип клиента.", kKeyMissing);
  std::string code = key->ReadString("SuiteCode").value_or("");
  if (code.empty()) {
    throw MException("Нет информации о типе клиента.",
                     " \"HKEY_LOCAL_MACHINE\\SOFTWARE\\ULMAR\\SuiteCode\" хранит пустую строку");
  }
  return code;
}

std::string InstallationSettings::GetUserID() {
  auto key = registry_.Open(RegistryRoot::LocalMachine, kKeyFromRoot, RegistryAccess::Read);
  if (!key) return "NotFound";
  return key->ReadString("UserID").value_or("");
}

void InstallationSettings::SetLastUpdated() {
  auto key = registry_.Open(RegistryRoot::LocalMachine, kKeyFromRoot, RegistryAccess::Write);
  if (!key) return;
  key->WriteString("LastUpdated", clock_.ShortDate(clock_.Now()));
}

}  // namespace ulmar

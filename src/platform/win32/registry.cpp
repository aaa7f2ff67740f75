// The registry through the Win32 API (ANSI functions).
#include <windows.h>

#include <vector>

#include "base/errors.h"
#include "platform/registry.h"
#include "platform/win32/handles.h"

namespace ulmar {
namespace {

class Win32Key : public RegistryKey {
 public:
  explicit Win32Key(HKEY key) : key_(key) {}

  std::optional<std::string> ReadString(const std::string& name) override {
    DWORD type = 0;
    DWORD size = 0;
    LONG status = RegQueryValueExA(key_.Get(), name.c_str(), nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) throw RegistryError(InvalidRegistryTypeText(name));
    for (;;) {
      std::vector<char> data(size + 1, '\0');
      DWORD got = size;
      status = RegQueryValueExA(key_.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got);
      if (status == ERROR_MORE_DATA) {
        size = got;
        continue;
      }
      if (status != ERROR_SUCCESS) return std::nullopt;
      if (type != REG_SZ && type != REG_EXPAND_SZ) throw RegistryError(InvalidRegistryTypeText(name));
      // The text ends at its first zero.
      return std::string(data.data());
    }
  }

  void WriteString(const std::string& name, const std::string& value) override {
    LONG status = RegSetValueExA(key_.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>(value.size() + 1));
    if (status != ERROR_SUCCESS) throw RegistryError(RegistryWriteFailedText(name));
  }

  bool DeleteValue(const std::string& name) override { return RegDeleteValueA(key_.Get(), name.c_str()) == ERROR_SUCCESS; }

  std::vector<std::string> SubkeyNames() override {
    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0;; ++i) {
      DWORD length = sizeof name;
      LONG status = RegEnumKeyExA(key_.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (status != ERROR_SUCCESS) break;
      names.emplace_back(name, length);
    }
    return names;
  }

 private:
  UniqueKey key_;
};

class Win32Registry : public Registry {
 public:
  std::unique_ptr<RegistryKey> Open(RegistryRoot root, const std::string& path, RegistryAccess access) override {
    HKEY base = root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    std::string relative = !path.empty() && path[0] == '\\' ? path.substr(1) : path;
    REGSAM sam = access == RegistryAccess::Read ? KEY_READ : access == RegistryAccess::Write ? KEY_WRITE : KEY_ALL_ACCESS;
    HKEY key = nullptr;
    if (RegOpenKeyExA(base, relative.c_str(), 0, sam, &key) != ERROR_SUCCESS) return nullptr;
    return std::make_unique<Win32Key>(key);
  }

  std::unique_ptr<RegistryKey> OpenOrCreate(RegistryRoot root, const std::string& path) override {
    HKEY base = root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    std::string relative = !path.empty() && path[0] == '\\' ? path.substr(1) : path;
    HKEY key = nullptr;
    if (RegCreateKeyExA(base, relative.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
      return nullptr;
    }
    return std::make_unique<Win32Key>(key);
  }
};

}  // namespace

std::unique_ptr<Registry> MakeSystemRegistry() { return std::make_unique<Win32Registry>(); }

}  // namespace ulmar

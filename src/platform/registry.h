// The Windows registry, reached through a small interface so the session's
// logic runs natively against an in-memory registry in tests.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ulmar {

enum class RegistryRoot { LocalMachine, CurrentUser };

// KEY_READ (0x20019), KEY_WRITE (0x20006) or KEY_ALL_ACCESS (0xF003F); no
// registry-view flag is added, so a 32-bit program sees the 32-bit view as
// the system's installer does.
enum class RegistryAccess { Read, Write, All };

class RegistryKey {
 public:
  virtual ~RegistryKey() = default;  // closes the key
  // A plain or expandable string as stored (not expanded, cut at its first
  // zero); nullopt when the value does not exist. Raises RegistryError
  // "Invalid data type for '<name>'" for a value of another type.
  virtual std::optional<std::string> ReadString(const std::string& name) = 0;
  // Writes a plain string value; raises RegistryError
  // "Failed to set data for '<name>'" when the system refuses.
  virtual void WriteString(const std::string& name, const std::string& value) = 0;
  // Names of the direct subkeys, in the registry's enumeration order.
  virtual std::vector<std::string> SubkeyNames() = 0;
  // Deletes a value; false when it could not be deleted or was not there.
  virtual bool DeleteValue(const std::string& name) = 0;
};

class Registry {
 public:
  virtual ~Registry() = default;
  // Opens an existing key, never creating it; nullptr when it cannot be
  // opened. A path with a leading backslash names the same key from the root.
  virtual std::unique_ptr<RegistryKey> Open(RegistryRoot root, const std::string& path, RegistryAccess access) = 0;
  // Opens a key with full access, creating it when missing.
  virtual std::unique_ptr<RegistryKey> OpenOrCreate(RegistryRoot root, const std::string& path) = 0;
};

// The system's registry (Windows only).
std::unique_ptr<Registry> MakeSystemRegistry();

// The registry layer's error texts.
inline std::string InvalidRegistryTypeText(const std::string& value_name) {
  return "Invalid data type for '" + value_name + "'";
}
inline std::string RegistryWriteFailedText(const std::string& value_name) {
  return "Failed to set data for '" + value_name + "'";
}

}  // namespace ulmar

// INI files: the support page's Internet shortcut is one.
#pragma once

#include <memory>
#include <string>

namespace ulmar {

class IniFiles {
 public:
  virtual ~IniFiles() = default;
  // An INI file's value, or default_value when there is none.
  virtual std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key,
                                    const std::string& default_value) = 0;
  // Writes a value, creating the file and section when the folder exists.
  virtual bool WriteIniString(const std::string& path, const std::string& section, const std::string& key,
                              const std::string& value) = 0;
};

// The system's profile functions (Windows only).
std::unique_ptr<IniFiles> MakeSystemIniFiles();

}  // namespace ulmar

// INI files through the Win32 profile functions.
#include <windows.h>

#include <vector>

#include "platform/ini_files.h"

namespace ulmar {
namespace {

class Win32IniFiles : public IniFiles {
 public:
  std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key,
                            const std::string& default_value) override {
    std::vector<char> buffer(4096);
    DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), default_value.c_str(), buffer.data(),
                                       static_cast<DWORD>(buffer.size()), path.c_str());
    return std::string(buffer.data(), n);
  }

  bool WriteIniString(const std::string& path, const std::string& section, const std::string& key,
                      const std::string& value) override {
    return WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path.c_str()) != FALSE;
  }
};

}  // namespace

std::unique_ptr<IniFiles> MakeSystemIniFiles() { return std::make_unique<Win32IniFiles>(); }

}  // namespace ulmar

// Processes and INI files through the Win32 API.
#include <windows.h>

#include <vector>

#include "platform/workstation.h"

namespace ulmar {
namespace {

class Win32Workstation : public Workstation {
 public:
  bool RunAndWaitIdle(const std::string& exe_dir, const std::string& name) override {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_FORCEONFEEDBACK;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    std::string application = exe_dir + name;
    char command_line[1] = {'\0'};
    if (!CreateProcessA(application.c_str(), command_line, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                        exe_dir.c_str(), &startup, &process)) {
      return false;
    }
    WaitForInputIdle(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
  }

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

std::unique_ptr<Workstation> MakeSystemWorkstation() { return std::make_unique<Win32Workstation>(); }

}  // namespace ulmar

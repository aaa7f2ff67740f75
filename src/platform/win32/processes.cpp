// Starting programs through the Win32 API.
#include <windows.h>

#include "platform/processes.h"
#include "platform/win32/handles.h"

namespace ulmar {
namespace {

class Win32ProcessStarter : public ProcessStarter {
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
    UniqueHandle thread(process.hThread);
    UniqueHandle started(process.hProcess);
    WaitForInputIdle(started.Get(), INFINITE);
    return true;
  }
};

}  // namespace

std::unique_ptr<ProcessStarter> MakeSystemProcessStarter() { return std::make_unique<Win32ProcessStarter>(); }

}  // namespace ulmar

// replace_ux.exe: the client's companion. The client starts it (hidden,
// empty command line, in the client's folder) at the end of every session
// and waits until it is idle for input. When the server delivered a new
// client as "UlmarUpdater.exe.new", it checks that it is a whole program,
// waits for the client to exit and puts it in place (replacement.h). It
// keeps its own log in Logs\replace_ux.log.
#include <windows.h>

#include <string>

#include "log/timestamp.h"
#include "parent_process.h"
#include "replacement.h"

namespace {

std::string OwnFolder() {
  char path[MAX_PATH * 2];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, n);
  return folder.substr(0, folder.find_last_of('\\') + 1);
}

void Log(const std::string& folder, const std::string& text) {
  HANDLE file = CreateFileA((folder + "Logs\\replace_ux.log").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  // Stamped as the client stamps its own log, in the user's formats.
  std::string line = ulmar::TimestampNow(*ulmar::MakeSystemClock()) + " >>> " + text + "\r\n";
  DWORD written;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // The client is alive until this program is idle for input (it waits for
  // that): its handle is taken before the first look at the message queue
  // lets it go on.
  HANDLE parent = ulmar::OpenParentProcess(ulmar::OpenProcessBySystem);
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);

  const std::string folder = OwnFolder();
  int code = ulmar::InstallStagedClient(folder, parent, [&](const std::string& text) { Log(folder, text); });
  if (parent) CloseHandle(parent);
  return code;
}

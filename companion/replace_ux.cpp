// replace_ux.exe: the client's companion. The client starts it (hidden,
// empty command line, in the client's folder) at the end of every session
// and waits until it is idle for input. When the server delivered a new
// client as "UlmarUpdater.exe.new", it checks that it is a whole program,
// waits for the client to exit and puts it in place (replacement.h). It
// keeps its own log in Logs\replace_ux.log.
#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "log/timestamp.h"
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

ULONGLONG CreationTime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// The process that started this one, opened for waiting; nullptr when there
// is none (any more). A process number can be reused once its process has
// ended: one started after this program is not its parent.
HANDLE OpenParentProcess() {
  const DWORD self = GetCurrentProcessId();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return nullptr;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  DWORD parent_id = 0;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == self) {
      parent_id = entry.th32ParentProcessID;
      break;
    }
  }
  CloseHandle(snapshot);
  if (parent_id == 0) return nullptr;
  HANDLE parent = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent_id);
  if (parent && CreationTime(parent) > CreationTime(GetCurrentProcess())) {
    CloseHandle(parent);
    return nullptr;
  }
  return parent;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // The client is alive until this program is idle for input (it waits for
  // that): its handle is taken before the first look at the message queue
  // lets it go on.
  HANDLE parent = OpenParentProcess();
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);

  const std::string folder = OwnFolder();
  int code = ulmar::InstallStagedClient(folder, parent, [&](const std::string& text) { Log(folder, text); });
  if (parent) CloseHandle(parent);
  return code;
}

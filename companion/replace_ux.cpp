// replace_ux.exe: the client's companion. The client starts it (hidden,
// empty command line, in the client's folder) at the end of every session.
// When the server delivered a new client as "UlmarUpdater.exe.new" beside
// it, it waits for the client that started it to exit, then moves the new
// executable over "UlmarUpdater.exe" in one step (the old one stays in
// place until then, so a complete executable is there at every moment) and
// the staged file is gone with the move. With nothing staged it exits at
// once. It touches nothing else and keeps its own log in Logs\replace_ux.log.
#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "log/timestamp.h"

namespace {

constexpr char kClient[] = "UlmarUpdater.exe";
constexpr char kStaged[] = "UlmarUpdater.exe.new";
// A client file still locked after the client has exited is retried for
// about a minute (virus scanners, slow handle release).
constexpr int kRetries = 120;
constexpr DWORD kRetryPauseMs = 500;

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

DWORD ParentProcessId() {
  DWORD self = GetCurrentProcessId();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  DWORD parent = 0;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == self) {
      parent = entry.th32ParentProcessID;
      break;
    }
  }
  CloseHandle(snapshot);
  return parent;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // A message queue, looked at once: the client's wait until this program
  // is idle for input returns at once.
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);

  const std::string folder = OwnFolder();
  const std::string staged = folder + kStaged;
  const std::string client = folder + kClient;
  if (GetFileAttributesA(staged.c_str()) == INVALID_FILE_ATTRIBUTES) return 0;
  Log(folder, "Найдена новая версия клиента " + staged);

  // The client may stay open for its clean-up dialog: wait without a bound.
  // The wait looks at the message queue every 100 ms, so this program counts
  // as idle for input whenever the client asks (it waits for that).
  if (DWORD parent = ParentProcessId()) {
    if (HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, parent)) {
      while (MsgWaitForMultipleObjects(1, &process, FALSE, 100, QS_ALLINPUT) != WAIT_OBJECT_0) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      }
      CloseHandle(process);
    }
  }

  for (int attempt = 0; attempt < kRetries; ++attempt) {
    if (MoveFileExA(staged.c_str(), client.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      Log(folder, "Клиент обновлён: " + client);
      return 0;
    }
    Sleep(kRetryPauseMs);
  }
  char code[32];
  wsprintfA(code, "%lu", GetLastError());
  Log(folder, std::string("Не удалось заменить клиента, ошибка ") + code);
  return 1;
}

#include "replacement.h"

#include <tlhelp32.h>

#include <cstring>
#include <optional>

#include "pe_image.h"
#include "platform/file.h"

namespace ulmar {
namespace {

using Log = std::function<void(const std::string&)>;

// Waits for the process to end, handling this thread's messages meanwhile
// (the client asks whether this program is idle for input).
void WaitForExit(HANDLE process) {
  MSG msg;
  while (MsgWaitForMultipleObjects(1, &process, FALSE, 100, QS_ALLINPUT) != WAIT_OBJECT_0) {
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }
}

// The staged file's data to the disk before it becomes the client; a file
// that cannot be opened for it now is moved all the same (the session
// flushed it when it was downloaded).
void FlushToDisk(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  FlushFileBuffers(file);
  CloseHandle(file);
}

// What keeps the staged file from being moved over the client, as the
// files show it. The move renames the staged file and replaces the client:
// a program that holds either open without sharing its deletion refuses
// both; a running program's image can be renamed but not written to.
enum class Obstacle {
  None,           // nothing holds either file now: the next try may pass
  StagedHeld,     // another program (a virus scanner) holds the new version
  ClientHeld,     // another program holds the client open
  ClientRunning,  // a copy of the client runs (another user's session, say)
};

// Whether a program holding the file refuses this access to it.
bool Refused(const std::string& path, DWORD access) {
  HANDLE file = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return false;
  }
  const DWORD error = GetLastError();
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

// Whether a program whose file has the client's name runs on this computer.
// The list of processes shows those of every session, by file name.
bool ClientNameRuns() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = Process32First(snapshot, &entry); more && !found; more = Process32Next(snapshot, &entry)) {
    const char* name = entry.szExeFile;
    if (const char* slash = strrchr(name, '\\')) name = slash + 1;
    found = lstrcmpiA(name, kClientName) == 0;
  }
  CloseHandle(snapshot);
  return found;
}

Obstacle FindObstacle(const std::string& staged, const std::string& client) {
  if (Refused(staged, DELETE)) return Obstacle::StagedHeld;
  if (!FileExists(client)) return Obstacle::None;
  if (Refused(client, DELETE)) return Obstacle::ClientHeld;
  // Renamable yet not writable: the image of a running program, or a file
  // another program keeps open sharing only its reading and deletion. Only
  // a running copy is worth moving the client aside for.
  if (Refused(client, GENERIC_WRITE)) return ClientNameRuns() ? Obstacle::ClientRunning : Obstacle::ClientHeld;
  return Obstacle::None;
}

// A running copy keeps the client from being overwritten: the client is
// renamed aside and the new one moved in; if that fails, the old one is
// moved back. Where another program holds the files so that neither move
// passes, a copy takes the client's place, of the old version or else of
// the new one (a whole program, checked before): the folder never stays
// without a client that starts. True when the new version is in place.
bool ReplaceRunningClient(const std::string& staged, const std::string& client, const std::string& aside,
                          const Log& log) {
  bool busy = false;
  if (!TryReplaceFile(client, aside, &busy)) return false;
  log("Клиент запущен в другом сеансе: прежняя версия перенесена в " + aside);
  if (TryReplaceFile(staged, client, &busy)) {
    log("Клиент обновлён: " + client);
    return true;
  }
  const std::string why = LastFileErrorText();
  const std::string failed = "Новую версию поставить не удалось (" + why + ")";
  if (TryReplaceFile(aside, client, &busy)) {
    log(failed + ", прежняя возвращена на место");
    return false;
  }
  const std::string why_not_back = LastFileErrorText();
  const std::string not_back = failed + ", прежнюю вернуть не удалось (" + why_not_back + ")";
  // A copy needs only to read its source, which a program holding it
  // without sharing its deletion still allows.
  if (CopyFileA(aside.c_str(), client.c_str(), FALSE)) {
    FlushToDisk(client);
    log(not_back + ": клиент скопирован из прежней версии " + aside);
    return false;
  }
  const std::string old_not_copied = LastFileErrorText();
  if (CopyFileA(staged.c_str(), client.c_str(), FALSE)) {
    FlushToDisk(client);
    log(not_back + ", скопировать её не удалось (" + old_not_copied + "): клиент скопирован из новой версии " +
        staged);
    return true;
  }
  const std::string new_not_copied = LastFileErrorText();
  log(not_back + ", скопировать не удалось ни её (" + old_not_copied + "), ни новую (" + new_not_copied +
      "): клиента в папке нет, прежняя версия в " + aside + ", новая в " + staged);
  return false;
}

}  // namespace

int InstallStagedClient(const std::string& folder, HANDLE parent, const Log& log, ReplacementTiming timing) {
  const std::string staged = folder + kStagedName;
  const std::string client = folder + kClientName;
  const std::string aside = folder + kAsideName;
  if (FileExists(aside)) {
    ClearReadOnly(aside);
    if (DeleteFileAt(aside)) log("Удалена прежняя версия клиента " + aside);
  }
  if (!FileExists(staged)) return 0;
  log("Найдена новая версия клиента " + staged);

  std::optional<std::string> fault;
  try {
    fault = PeFileFault(staged);
  } catch (const std::exception& e) {
    log("Новую версию клиента не удалось прочитать (" + std::string(e.what()) + "); она оставлена до следующего раза");
    return 1;
  }
  if (fault) {
    ClearReadOnly(staged);
    if (DeleteFileAt(staged)) {
      log("Новая версия клиента не является целой программой (" + *fault + ") и удалена; клиент оставлен прежним");
    } else {
      log("Новая версия клиента не является целой программой (" + *fault + "), удалить её не удалось: " +
          LastFileErrorText());
    }
    return 1;
  }

  if (parent) {
    log("Ждём завершения клиента");
    WaitForExit(parent);
  }
  std::string why;
  Obstacle told = Obstacle::None;  // the obstacle last logged, each told once
  // A read-only client gives way to its new version, and stays read-only
  // when the new version cannot be put in.
  ReadOnlyLift lift(client);
  for (int attempt = 1; attempt <= timing.attempts; ++attempt) {
    FlushToDisk(staged);
    ClearReadOnly(client);
    bool busy = false;
    if (TryReplaceFile(staged, client, &busy)) {
      lift.Keep();
      log("Клиент обновлён: " + client);
      return 0;
    }
    why = LastFileErrorText();
    if (attempt == 1) log("Заменить клиента пока не удалось (" + why + "), пробуем снова");
    const Obstacle obstacle = busy ? FindObstacle(staged, client) : Obstacle::None;
    if (obstacle != told) {
      if (obstacle == Obstacle::StagedHeld) log("Новую версию клиента держит открытой другая программа, ждём");
      if (obstacle == Obstacle::ClientHeld) log("Клиента держит открытым другая программа, ждём");
      told = obstacle;
    }
    // Only a running copy is waited out by moving the client aside; a
    // file another program holds is let go of sooner or later.
    if (obstacle == Obstacle::ClientRunning && attempt >= timing.before_aside &&
        ReplaceRunningClient(staged, client, aside, log)) {
      lift.Keep();
      return 0;
    }
    if (!FileExists(staged)) break;
    Sleep(timing.pause_ms);
  }
  log("Не удалось заменить клиента: " + why + "; новая версия оставлена до следующего раза");
  return 1;
}

}  // namespace ulmar

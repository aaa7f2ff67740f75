#include "replacement.h"

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

// A running copy keeps the client from being overwritten: the client is
// renamed aside and the new one moved in; if that fails, the old one is
// moved back.
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
  if (TryReplaceFile(aside, client, &busy)) {
    log("Новую версию поставить не удалось (" + why + "), прежняя возвращена на место");
  } else {
    log("Новую версию поставить не удалось (" + why + "), прежнюю вернуть не удалось (" + LastFileErrorText() +
        "): она в " + aside);
  }
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
  for (int attempt = 1; attempt <= timing.attempts; ++attempt) {
    FlushToDisk(staged);
    ClearReadOnly(client);
    bool busy = false;
    if (TryReplaceFile(staged, client, &busy)) {
      log("Клиент обновлён: " + client);
      return 0;
    }
    why = LastFileErrorText();
    if (attempt == 1) log("Заменить клиента пока не удалось (" + why + "), пробуем снова");
    if (busy && attempt >= timing.before_aside && ReplaceRunningClient(staged, client, aside, log)) return 0;
    if (!FileExists(staged)) break;
    Sleep(timing.pause_ms);
  }
  log("Не удалось заменить клиента: " + why + "; новая версия оставлена до следующего раза");
  return 1;
}

}  // namespace ulmar

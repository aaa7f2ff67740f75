// Finding and opening the process that started the companion (the client),
// so that the companion can wait for it to exit.
#pragma once

#include <windows.h>

#include <functional>

namespace ulmar {

// Opens a process as OpenProcess does: the access wanted and the process's
// number; a null handle when refused (GetLastError says why).
using ProcessOpener = std::function<HANDLE(DWORD access, DWORD process_id)>;

// The system's OpenProcess.
HANDLE OpenProcessBySystem(DWORD access, DWORD process_id);

// The process, opened for waiting on it and reading its start time; null
// when it cannot be opened. Asks for the narrow query right first; Windows
// XP does not know that right and refuses it, so the older, wider one is
// asked for then.
HANDLE OpenForWaiting(DWORD process_id, const ProcessOpener& open);

// The process that started this one, opened as OpenForWaiting opens it;
// null when there is none (any more). A process number can be reused once
// its process has ended: a process started after this one is not its
// parent.
HANDLE OpenParentProcess(const ProcessOpener& open);

}  // namespace ulmar

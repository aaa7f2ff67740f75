#include "parent_process.h"

#include <tlhelp32.h>

namespace ulmar {
namespace {

ULONGLONG CreationTime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

DWORD ParentProcessId() {
  const DWORD self = GetCurrentProcessId();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
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
  return parent_id;
}

}  // namespace

HANDLE OpenProcessBySystem(DWORD access, DWORD process_id) { return OpenProcess(access, FALSE, process_id); }

HANDLE OpenForWaiting(DWORD process_id, const ProcessOpener& open) {
  HANDLE process = open(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, process_id);
  if (!process) process = open(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, process_id);
  return process;
}

HANDLE OpenParentProcess(const ProcessOpener& open) {
  const DWORD parent_id = ParentProcessId();
  if (parent_id == 0) return nullptr;
  HANDLE parent = OpenForWaiting(parent_id, open);
  if (parent && CreationTime(parent) > CreationTime(GetCurrentProcess())) {
    CloseHandle(parent);
    return nullptr;
  }
  return parent;
}

}  // namespace ulmar

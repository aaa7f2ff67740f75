// Files through the Win32 API (ANSI functions, code page 1251 paths).
#include <windows.h>

#include "base/errors.h"
#include "platform/file.h"
#include "platform/system_error.h"

namespace ulmar {
namespace {

// The code page of every path the program handles.
constexpr UINT kCodePage = 1251;

HANDLE Win32(FileHandle handle) { return reinterpret_cast<HANDLE>(handle); }
FileHandle Portable(HANDLE handle) { return reinterpret_cast<FileHandle>(handle); }

}  // namespace

void CloseFileHandle(FileHandle handle) { CloseHandle(Win32(handle)); }

File File::CreateForWrite(const std::string& path) {
  // A new file is created as new and only an existing one truncated: under
  // Wine a truncating create makes the Linux file system write the whole
  // file out when it is closed (150 ms for 1 GiB), with the window waiting.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
    h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) throw InOutError(SystemErrorText(GetLastError()));
  return Adopt(Portable(h));
}

namespace {

File OpenAtEnd(const std::string& path, DWORD access, DWORD disposition) {
  HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw InOutError(SystemErrorText(GetLastError()));
  File file = File::Adopt(Portable(h));
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(h, zero, nullptr, FILE_END)) throw InOutError(SystemErrorText(GetLastError()));
  return file;
}

}  // namespace

File File::OpenForAppend(const std::string& path) {
  return OpenAtEnd(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
}

File File::OpenOrCreateForAppend(const std::string& path) { return OpenAtEnd(path, GENERIC_WRITE, OPEN_ALWAYS); }

File File::OpenForRead(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw InOutError(SystemErrorText(GetLastError()));
  return Adopt(Portable(h));
}

bool File::IsOpen() const { return static_cast<bool>(handle_); }

size_t File::Read(char* data, size_t size) {
  DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
  DWORD got = 0;
  if (!ReadFile(Win32(handle_.Get()), data, chunk, &got, nullptr)) throw InOutError(SystemErrorText(GetLastError()));
  return got;
}

void File::Write(std::string_view data) {
  if (!handle_) throw InOutError(SystemErrorText(ERROR_INVALID_HANDLE));
  while (!data.empty()) {
    DWORD chunk = data.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(data.size());
    DWORD written = 0;
    if (!WriteFile(Win32(handle_.Get()), data.data(), chunk, &written, nullptr)) {
      throw InOutError(SystemErrorText(GetLastError()));
    }
    if (written == 0) throw InOutError(SystemErrorText(ERROR_WRITE_FAULT));
    data.remove_prefix(written);
  }
}

void File::Flush() {
  if (!FlushFileBuffers(Win32(handle_.Get()))) throw InOutError(SystemErrorText(GetLastError()));
}

void File::Close() {
  if (!handle_) return;
  HANDLE h = Win32(handle_.Release());
  if (!CloseHandle(h)) throw InOutError(SystemErrorText(GetLastError()));
}

// The names are read through the wide API and converted exactly: the ANSI
// search would give "cafe.txt" for "café.txt" (a best fit, the name of
// another file) and drop names it cannot spell at all.
std::vector<DirEntry> ListDirectory(const std::string& dir, const std::string& mask) {
  std::vector<DirEntry> entries;
  const std::string pattern = dir + mask;
  std::wstring wide_pattern(pattern.size() + 1, L'\0');
  int n = MultiByteToWideChar(kCodePage, 0, pattern.c_str(), -1, wide_pattern.data(),
                              static_cast<int>(wide_pattern.size()));
  if (n <= 0) return entries;
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(wide_pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return entries;
  do {
    DirEntry entry;
    char name[MAX_PATH * 2];
    BOOL defaulted = FALSE;
    int length = WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, data.cFileName, -1, name, sizeof name, "?",
                                     &defaulted);
    entry.name = length > 0 ? name : "?";
    entry.spelled = length > 0 && !defaulted;
    entry.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.hidden = (data.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
    entries.push_back(std::move(entry));
  } while (FindNextFileW(search, &data));
  FindClose(search);
  return entries;
}

bool TryReplaceFile(const std::string& from, const std::string& to, bool* busy) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  const DWORD error = GetLastError();
  *busy = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
  SetLastError(error);
  return false;
}

void ReplaceFileWith(const std::string& from, const std::string& to) {
  bool busy = false;
  if (!TryReplaceFile(from, to, &busy)) throw InOutError(SystemErrorText(GetLastError()));
}

bool DeleteFileAt(const std::string& path) { return DeleteFileA(path.c_str()) != FALSE; }

bool ClearReadOnly(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  if (!(attributes & FILE_ATTRIBUTE_READONLY)) return true;
  return SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) != FALSE;
}

bool IsReadOnly(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         (attributes & FILE_ATTRIBUTE_READONLY);
}

bool SetReadOnly(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  // FILE_ATTRIBUTE_NORMAL stands alone: it must not be combined with another.
  attributes = (attributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_READONLY;
  return SetFileAttributesA(path.c_str(), attributes) != FALSE;
}

std::string LastFileErrorText() { return SystemErrorText(GetLastError()); }

bool SetHiddenSystem(const std::string& path) {
  return SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) != FALSE;
}

bool CreateDirectories(const std::string& path) {
  if (path.empty() || DirectoryExists(path)) return true;
  std::string trimmed = path;
  while (trimmed.size() > 1 && (trimmed.back() == '\\' || trimmed.back() == '/')) trimmed.pop_back();
  size_t slash = trimmed.find_last_of("\\/");
  if (slash != std::string::npos && slash > 0 && trimmed[slash - 1] != ':') {
    // A parent that cannot be made says why; the folder below it would only
    // add "path not found".
    if (!CreateDirectories(trimmed.substr(0, slash))) return false;
  }
  if (CreateDirectoryA(trimmed.c_str(), nullptr)) return true;
  // Made meanwhile by someone else is as good; otherwise the creation's own
  // error stands (the look at the folder must not replace it).
  const DWORD error = GetLastError();
  if (DirectoryExists(trimmed)) return true;
  SetLastError(error);
  return false;
}

bool FileExists(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace ulmar

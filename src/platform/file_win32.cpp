// Files through the Win32 API (ANSI functions, code page 1251 paths).
#include <windows.h>

#include "log/errors.h"
#include "platform/file.h"
#include "platform/system_error.h"

namespace ulmar {

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_) CloseHandle(handle_);
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

File::~File() {
  if (handle_) CloseHandle(handle_);
}

File File::CreateForWrite(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw InOutError(SystemErrorText(GetLastError()));
  return File(h);
}

File File::OpenForAppend(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw InOutError(SystemErrorText(GetLastError()));
  File file(h);
  if (SetFilePointer(h, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
    throw InOutError(SystemErrorText(GetLastError()));
  }
  return file;
}

bool File::IsOpen() const { return handle_ != nullptr; }

void File::Write(std::string_view data) {
  if (!handle_) throw InOutError(SystemErrorText(ERROR_INVALID_HANDLE));
  while (!data.empty()) {
    DWORD chunk = data.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(data.size());
    DWORD written = 0;
    if (!WriteFile(handle_, data.data(), chunk, &written, nullptr)) {
      throw InOutError(SystemErrorText(GetLastError()));
    }
    if (written == 0) throw InOutError(SystemErrorText(ERROR_WRITE_FAULT));
    data.remove_prefix(written);
  }
}

void File::Close() {
  if (!handle_) return;
  HANDLE h = handle_;
  handle_ = nullptr;
  if (!CloseHandle(h)) throw InOutError(SystemErrorText(GetLastError()));
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

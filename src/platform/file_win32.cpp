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
  return Adopt(h);
}

namespace {

File OpenAtEnd(const std::string& path, DWORD access, DWORD disposition) {
  HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw InOutError(SystemErrorText(GetLastError()));
  File file = File::Adopt(h);
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(h, zero, nullptr, FILE_END)) throw InOutError(SystemErrorText(GetLastError()));
  return file;
}

}  // namespace

File File::OpenForAppend(const std::string& path) {
  return OpenAtEnd(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
}

File File::OpenOrCreateForAppend(const std::string& path) { return OpenAtEnd(path, GENERIC_WRITE, OPEN_ALWAYS); }

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

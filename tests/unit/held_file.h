// Holds a file as another program would — a virus scanner reading it —
// until released: under Windows open, shared for reading only; natively an
// exclusive flock, which the portable file layer takes for the same.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include <string>

namespace ulmar::testing {

class Holder {
 public:
#ifdef _WIN32
  explicit Holder(const std::string& path)
      : handle_(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)) {}
  void Release() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
#else
  explicit Holder(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY)) { ::flock(fd_, LOCK_EX); }
  void Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
#endif
 public:
  ~Holder() { Release(); }
};

}  // namespace ulmar::testing

// RAII owners of the Win32 handles the platform layer opens: each closes its
// handle when it goes, so no path can leak one.
#pragma once

#include <windows.h>

#include <utility>

namespace ulmar {

template <typename Handle, Handle Invalid, auto Close>
class UniqueOf {
 public:
  UniqueOf() = default;
  explicit UniqueOf(Handle handle) : handle_(handle) {}
  UniqueOf(UniqueOf&& other) noexcept : handle_(std::exchange(other.handle_, Invalid)) {}
  UniqueOf& operator=(UniqueOf&& other) noexcept {
    if (this != &other) reset(std::exchange(other.handle_, Invalid));
    return *this;
  }
  UniqueOf(const UniqueOf&) = delete;
  UniqueOf& operator=(const UniqueOf&) = delete;
  ~UniqueOf() { reset(); }

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != Invalid; }
  void reset(Handle handle = Invalid) {
    if (handle_ != Invalid) Close(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_ = Invalid;
};

// Process and thread handles (CloseHandle; null when there is none).
using UniqueHandle = UniqueOf<HANDLE, nullptr, &CloseHandle>;
// Registry keys (RegCloseKey).
using UniqueKey = UniqueOf<HKEY, nullptr, &RegCloseKey>;

}  // namespace ulmar

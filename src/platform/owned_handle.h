// Ownership of a handle of the system (an open file, a socket): moved, never
// copied, and closed by its owner's end on every path. Each platform gives
// the closing call; the interfaces hold their handles in this one type.
#pragma once

#include <utility>

namespace ulmar {

template <typename Handle, Handle kNone, void (*CloseHandleOf)(Handle)>
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(Handle handle) : handle_(handle) {}
  OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.Release()) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { Reset(); }

  Handle Get() const { return handle_; }
  explicit operator bool() const { return handle_ != kNone; }
  // Gives the handle up without closing it.
  Handle Release() { return std::exchange(handle_, kNone); }
  // Closes the handle held, if any, and holds the one given.
  void Reset(Handle handle = kNone) {
    if (handle_ != kNone) CloseHandleOf(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_ = kNone;
};

}  // namespace ulmar

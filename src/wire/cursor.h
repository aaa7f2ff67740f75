// One cursor over received bytes, the only place that takes the protocol's
// elements apart. Each read takes a whole element or nothing: when the bytes
// run out it stands still (NeedMore) and the caller keeps what is left for
// the next arrival. A line longer than the limit is a sticky error: the
// cursor then refuses every further read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "wire/elements.h"

namespace ulmar::wire {

class Cursor {
 public:
  enum class Status { Ok, NeedMore, TooLong };

  // The bytes are not copied: they must outlive the cursor.
  explicit Cursor(std::string_view data, size_t max_line = kMaxLineLength) : data_(data), max_line_(max_line) {}
  Cursor(std::string&&, size_t = 0) = delete;

  bool Int32(int32_t* value);
  bool UInt32(uint32_t* value);
  // Everything up to the first LF, one CR before it dropped. TooLong as
  // soon as more than max_line bytes stand before the LF, or have arrived
  // without one.
  bool Line(std::string* line);

  // Why the last read took nothing (Ok after a read that took its element).
  Status status() const { return status_; }
  bool failed() const { return status_ == Status::TooLong; }
  // The bytes taken so far, and those not yet taken.
  size_t consumed() const { return position_; }
  std::string_view rest() const { return data_.substr(position_); }

 private:
  bool Need(size_t count);

  std::string_view data_;
  size_t max_line_;
  size_t position_ = 0;
  Status status_ = Status::Ok;
};

}  // namespace ulmar::wire

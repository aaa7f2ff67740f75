#include "wire/cursor.h"

#include "base/text.h"

namespace ulmar::wire {

bool Cursor::Need(size_t count) {
  if (status_ == Status::TooLong) return false;
  if (data_.size() - position_ < count) {
    status_ = Status::NeedMore;
    return false;
  }
  status_ = Status::Ok;
  return true;
}

bool Cursor::Int32(int32_t* value) {
  if (!Need(kIntegerSize)) return false;
  *value = DecodeInt32(data_.data() + position_);
  position_ += kIntegerSize;
  return true;
}

bool Cursor::UInt32(uint32_t* value) {
  int32_t raw = 0;
  if (!Int32(&raw)) return false;
  *value = static_cast<uint32_t>(raw);
  return true;
}

bool Cursor::Line(std::string* line) {
  if (status_ == Status::TooLong) return false;
  size_t consumed = 0;
  switch (TakeLine(data_.substr(position_), max_line_, line, &consumed)) {
    case LineStatus::Complete:
      position_ += consumed;
      status_ = Status::Ok;
      return true;
    case LineStatus::TooLong:
      status_ = Status::TooLong;
      return false;
    case LineStatus::NeedMore:
      break;
  }
  status_ = Status::NeedMore;
  return false;
}

}  // namespace ulmar::wire

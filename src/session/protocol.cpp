#include "session/protocol.h"

namespace ulmar::protocol {

std::string EncodeUInt32(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 3; i >= 0; --i) {
    bytes[i] = static_cast<char>(value & 0xFF);
    value >>= 8;
  }
  return bytes;
}

std::string EncodeInt32(int32_t value) { return EncodeUInt32(static_cast<uint32_t>(value)); }

std::string EncodeLine(std::string_view text) {
  std::string bytes(text);
  bytes += "\r\n";
  return bytes;
}

int32_t DecodeInt32(const char* bytes) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return static_cast<int32_t>(value);
}

LineStatus TakeLine(std::string_view data, size_t max_length, std::string* line, size_t* consumed) {
  size_t lf = data.substr(0, max_length + 1).find('\n');
  if (lf == std::string_view::npos) return data.size() > max_length ? LineStatus::TooLong : LineStatus::NeedMore;
  size_t end = lf;
  if (end > 0 && data[end - 1] == '\r') --end;
  line->assign(data.data(), end);
  *consumed = lf + 1;
  return LineStatus::Complete;
}

}  // namespace ulmar::protocol

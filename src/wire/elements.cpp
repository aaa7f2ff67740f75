#include "wire/elements.h"

namespace ulmar::wire {

std::string EncodeUInt32(uint32_t value) {
  std::string bytes(kIntegerSize, '\0');
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
  for (size_t i = 0; i < kIntegerSize; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return static_cast<int32_t>(value);
}

}  // namespace ulmar::wire

#include "base/text.h"

#include "base/cp1251.h"

namespace ulmar {

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && SameTextCp1251(text.substr(text.size() - suffix.size()), suffix);
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

size_t ParseByteNumbers(std::string_view text, char separator, unsigned char* out, size_t count) {
  size_t pos = 0;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != separator) return std::string_view::npos;
      ++pos;
    }
    size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    if (pos == start || value > 255) return std::string_view::npos;
    out[i] = static_cast<unsigned char>(value);
  }
  return pos;
}

bool ParseIpv4(std::string_view text, uint32_t* address) {
  unsigned char bytes[4];
  if (ParseByteNumbers(text, '.', bytes, 4) != text.size()) return false;
  *address = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
             static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
  return true;
}

}  // namespace ulmar

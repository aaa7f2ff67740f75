#include "database.h"

#include <cstdlib>

namespace ulmar::server::fleet {

int64_t AsInt(const Value& value) {
  if (std::holds_alternative<int64_t>(value)) return std::get<int64_t>(value);
  if (std::holds_alternative<double>(value)) return static_cast<int64_t>(std::get<double>(value));
  if (std::holds_alternative<std::string>(value)) {
    const std::string& text = std::get<std::string>(value);
    char* end = nullptr;
    long long n = std::strtoll(text.c_str(), &end, 10);
    return end && *end == 0 ? n : 0;
  }
  return 0;
}

std::string AsText(const Value& value) {
  if (std::holds_alternative<std::string>(value)) return std::get<std::string>(value);
  if (std::holds_alternative<int64_t>(value)) return std::to_string(std::get<int64_t>(value));
  if (std::holds_alternative<double>(value)) return std::to_string(std::get<double>(value));
  return "";
}

}  // namespace ulmar::server::fleet

// Code page 1251 text: converting to UTF-8 and back gives the same bytes
// (every byte but 0x98, which the code page leaves undefined); case folding
// keeps the length and is idempotent, and compares as SameTextCp1251 does.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "base/cp1251.h"
#include "text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string utf8 = ulmar::server::Cp1251ToUtf8(text);
  std::optional<std::string> back = ulmar::server::Utf8ToCp1251(utf8);
  if (text.find('\x98') == std::string::npos && (!back || *back != text)) std::abort();
  // Any UTF-8 (or not) input converts or is refused, never more.
  if (std::optional<std::string> cp = ulmar::server::Utf8ToCp1251(text)) {
    if (ulmar::server::Cp1251ToUtf8(*cp) != text) std::abort();
  }
  const std::string upper = ulmar::UpperCp1251(text);
  if (upper.size() != text.size() || ulmar::UpperCp1251(upper) != upper) std::abort();
  if (!ulmar::SameTextCp1251(text, upper)) std::abort();
  return 0;
}

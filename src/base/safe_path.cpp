#include "base/safe_path.h"

#include <vector>

#include "base/cp1251.h"

namespace ulmar {
namespace {

bool IsDeviceName(const std::string& component) {
  std::string base = UpperCp1251(component.substr(0, component.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  // The console's input and output, which CreateFile opens by these names.
  if (base == "CONIN$" || base == "CONOUT$") return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) && base[3] >= '1' &&
         base[3] <= '9';
}

}  // namespace

std::optional<std::string> UnsafePathReason(const std::string& path) {
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7F) return "Недопустимый путь \"" + path + "\": управляющий символ";
    if (c == ':') return "Недопустимый путь \"" + path + "\": двоеточие";
  }
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("\\/", start);
    if (end == std::string::npos) end = path.size();
    std::string component = path.substr(start, end - start);
    // Windows drops a name's trailing spaces: ".. " is ".." to it.
    std::string trimmed = component;
    while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
    if (trimmed == "..") return "Недопустимый путь \"" + path + "\": выход за пределы папки установки";
    if (IsDeviceName(component)) return "Недопустимый путь \"" + path + "\": имя устройства";
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace ulmar

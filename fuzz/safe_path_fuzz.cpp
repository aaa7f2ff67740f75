// The path rules for paths from the server: any path they accept, joined to
// an installation folder and read as Windows reads it, stays inside the
// folder and names no device.
//
// The model of Windows' reading errs on the side of danger: '/' separates
// like '\'; empty and "." components stay where they are, ".." goes up; a
// component's trailing spaces (and, where that leaves nothing but dots, its
// trailing dots) are trimmed before that is decided, as the last component
// of a path is trimmed; a colon anywhere would name a drive or a stream; a
// device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-9, LPT1-9, in any
// case, with any extension or trailing spaces) is a device in any folder.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/cp1251.h"
#include "base/safe_path.h"

namespace {

bool IsDevice(const std::string& component) {
  std::string base = ulmar::UpperCp1251(component.substr(0, component.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$") {
    return true;
  }
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) && base[3] >= '1' &&
         base[3] <= '9';
}

// How deep below the installation folder the path ends up (negative: above
// it), and whether it names a device or holds a colon.
bool StaysInside(const std::string& path) {
  int depth = 0;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("\\/", start);
    if (end == std::string::npos) end = path.size();
    std::string component = path.substr(start, end - start);
    start = end + 1;
    if (component.find(':') != std::string::npos) return false;
    std::string trimmed = component;
    while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
    if (trimmed.find_first_not_of('.') == std::string::npos && trimmed.size() > 2) {
      continue;  // only dots: trimmed to nothing at the end of a path, a name elsewhere
    }
    if (trimmed.empty() || trimmed == ".") continue;
    if (trimmed == "..") {
      if (--depth < 0) return false;
      continue;
    }
    if (IsDevice(component)) return false;
    ++depth;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path(reinterpret_cast<const char*>(data), size);
  if (!ulmar::UnsafePathReason(path) && !StaysInside(path)) std::abort();
  return 0;
}

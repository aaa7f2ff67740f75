// The running executable's path through the Win32 API.
#include <windows.h>

#include <vector>

#include "platform/exe_path.h"

#include "base/paths.h"

namespace ulmar {

namespace {

std::string ModulePath() {
  std::vector<char> buffer(MAX_PATH + 1);
  for (;;) {
    DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

std::string ExeName() {
  std::string path = ModulePath();
  return path.substr(path.find_last_of("\\:") + 1);
}

std::string ExeDir() { return DirWithBackslash(ModulePath()); }

}  // namespace ulmar

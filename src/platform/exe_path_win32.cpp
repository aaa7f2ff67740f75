// The running executable's path through the Win32 API.
#include <windows.h>

#include <vector>

#include "platform/exe_path.h"

namespace ulmar {

std::string ExeDir() {
  std::vector<char> buffer(MAX_PATH + 1);
  for (;;) {
    DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n < buffer.size()) return DirWithBackslash(std::string(buffer.data(), n));
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace ulmar

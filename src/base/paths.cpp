#include "base/paths.h"

namespace ulmar {

std::string ExtractFileDir(const std::string& path) {
  size_t i = path.find_last_of("\\:");
  if (i == std::string::npos) return std::string();
  // Drop the separator itself unless it follows a drive colon or another
  // separator, so a drive root keeps its backslash.
  if (i > 0 && path[i] == '\\' && path[i - 1] != '\\' && path[i - 1] != ':') return path.substr(0, i);
  return path.substr(0, i + 1);
}

std::string DirWithBackslash(const std::string& module_path) {
  std::string dir = ExtractFileDir(module_path);
  if (!dir.empty() && dir.back() != '\\') dir += '\\';
  return dir;
}

}  // namespace ulmar

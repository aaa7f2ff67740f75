// Windows paths as text: the program builds every path with backslashes.
#pragma once

#include <string>

namespace ulmar {

// The directory part of a full file path, without a trailing backslash
// except for a drive root ("C:\x.exe" gives "C:\", "C:\a\x.exe" gives "C:\a").
std::string ExtractFileDir(const std::string& path);

// The directory of module_path with a trailing backslash appended unless
// it is empty or already ends with one.
std::string DirWithBackslash(const std::string& module_path);

}  // namespace ulmar

// Where the running program lives. The logs and the companion program are
// found beside it.
#pragma once

#include <string>

namespace ulmar {

// The directory part of a full file path, without a trailing backslash
// except for a drive root ("C:\x.exe" gives "C:\", "C:\a\x.exe" gives "C:\a").
std::string ExtractFileDir(const std::string& path);

// The directory of module_path with a trailing backslash appended unless
// it is empty or already ends with one.
std::string DirWithBackslash(const std::string& module_path);

// The running executable's directory with a trailing backslash (Windows only).
std::string ExeDir();
// The running executable's file name, e.g. "UlmarUpdater.exe" (Windows only).
std::string ExeName();

}  // namespace ulmar

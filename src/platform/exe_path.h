// Where the running program lives. The logs and the companion program are
// found beside it.
#pragma once

#include <string>

namespace ulmar {

// The running executable's directory with a trailing backslash (Windows only).
std::string ExeDir();
// The running executable's file name, e.g. "UlmarUpdater.exe" (Windows only).
std::string ExeName();

}  // namespace ulmar

// Paths from the server stay inside the installation directory. A relative
// path is refused when a component (split on "\" and "/") is "..", names a
// device (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-COM9, LPT1-LPT9, with or
// without an extension), or when it holds a colon or a control character.
// Leading backslashes are harmless: the installation directory is put
// before them, and Windows folds doubled separators into one.
#pragma once

#include <optional>
#include <string>

namespace ulmar {

// Why the path is refused, or nothing when it is safe.
std::optional<std::string> UnsafePathReason(const std::string& relative_path);

}  // namespace ulmar

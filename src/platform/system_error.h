// The system's own text for an error code (Win32 error or errno).
#pragma once

#include <string>

namespace ulmar {

// The text without trailing blanks, line breaks or full stops.
std::string SystemErrorText(unsigned long code);

}  // namespace ulmar

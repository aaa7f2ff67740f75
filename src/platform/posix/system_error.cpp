// errno texts for the native build.
#include <cstring>

#include "platform/system_error.h"

namespace ulmar {

std::string SystemErrorText(unsigned long code) { return std::strerror(static_cast<int>(code)); }

}  // namespace ulmar

// Error texts shared by the handlers.
#include "base/errors.h"

namespace ulmar {

std::string DefaultErrorText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.')) {
    return message + ".";
  }
  return message;
}

}  // namespace ulmar

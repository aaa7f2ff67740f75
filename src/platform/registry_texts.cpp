// Error texts of the registry layer.
#include "platform/registry.h"

namespace ulmar {

std::string InvalidRegistryTypeText(const std::string& value_name) {
  return "Invalid data type for '" + value_name + "'";
}

std::string RegistryWriteFailedText(const std::string& value_name) {
  return "Failed to set data for '" + value_name + "'";
}

}  // namespace ulmar

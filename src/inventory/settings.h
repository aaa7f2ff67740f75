// The installation's settings under HKEY_LOCAL_MACHINE\SOFTWARE\ULMAR, which
// the system's installer writes: where the system lives, what kind of client
// this is, who the user is; and the date of the last successful update,
// which the client writes. Each call opens and closes the key itself.
#pragma once

#include <string>

#include "platform/clock.h"
#include "platform/registry.h"

namespace ulmar {

class InstallationSettings {
 public:
  InstallationSettings(Registry& registry, const RegionalClock& clock) : registry_(registry), clock_(clock) {}

  // The installation directory, ending with a backslash. Raises MException
  // when the key or value is missing or no directory is there.
  std::string GetLocalDir();
  // The client type, never empty. Raises MException.
  std::string GetSuiteCode();
  // The user identifier; "NotFound" when the key is missing, empty when the
  // value is. Only a value of another type raises (RegistryError).
  std::string GetUserID();
  // Records today's date in the user's short date format. Silent when the key
  // cannot be opened for writing; a failed write raises RegistryError.
  void SetLastUpdated();

 private:
  Registry& registry_;
  const RegionalClock& clock_;
};

}  // namespace ulmar

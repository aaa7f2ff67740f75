// The name under which a download is received before it is moved over its
// destination, once the transfer is complete. One short fixed name in the
// installation's root, so that a destination near the path length limit is
// not pushed past it. The scan passes over every name with the suffix (the
// client's, not the system's; earlier versions received beside the
// destination).
#pragma once

#include <string_view>

#include "base/text.h"

namespace ulmar {

inline constexpr char kPartialSuffix[] = ".ulmar-partial";
inline constexpr char kPartialName[] = "download.ulmar-partial";

// Whether name ends with kPartialSuffix (exact case) and is more than it.
inline bool IsPartialFile(std::string_view name) {
  return name.size() > std::string_view(kPartialSuffix).size() && EndsWith(name, kPartialSuffix);
}

}  // namespace ulmar

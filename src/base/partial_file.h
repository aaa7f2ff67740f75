// The name under which a download is received: the destination's name plus
// a suffix, moved over the destination only when the transfer is complete.
// The scan passes over such files: they are the client's, not the system's.
#pragma once

#include <string_view>

#include "base/text.h"

namespace ulmar {

inline constexpr char kPartialSuffix[] = ".ulmar-partial";

// Whether name ends with kPartialSuffix (exact case) and is more than it.
inline bool IsPartialFile(std::string_view name) {
  return name.size() > std::string_view(kPartialSuffix).size() && EndsWith(name, kPartialSuffix);
}

}  // namespace ulmar

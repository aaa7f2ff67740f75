// Whether a file is a whole 32-bit Windows executable image: the companion
// installs nothing else over the client (a staged copy cut short by a full
// disk or a broken transfer would leave a client that can no longer start,
// and no later session to repair it).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ulmar {

// Nothing when image holds a whole PE32 image for x86: the DOS header and
// its "MZ", the "PE\0\0" signature and the file header inside the file, an
// optional header of the PE32 kind, the headers' size and every section's
// raw data within the file. Otherwise what is wrong, in words for the log.
std::optional<std::string> PeImageFault(std::string_view image);

// The same for a file's contents. Raises InOutError when it cannot be read.
std::optional<std::string> PeFileFault(const std::string& path);

}  // namespace ulmar

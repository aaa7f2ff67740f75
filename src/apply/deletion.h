// Deleting files the server names, inside the installation directory only:
// the forced deletion right after the download, and the helper the
// foreign-file clean-up shares with it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "session/roles.h"

namespace ulmar {

// Deletes install_dir + entry when it is a file. Nothing there, or a
// directory, is passed over. Why it failed, or nothing: a path that would
// leave the installation directory is refused before anything is touched.
std::optional<std::string> DeleteInsideInstallation(const std::string& install_dir, const std::string& entry);

// The forced deletion. It never ends the session: a file that cannot be
// deleted is logged and shown, and the next one is handled.
void DeleteFilesByForce(Reporter& r, const std::string& install_dir, const std::vector<std::string>& files_to_delete);

}  // namespace ulmar

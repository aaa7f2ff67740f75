// The forced deletion of the files the server names, right after the
// download. It never ends the session: a file that cannot be deleted is
// logged and shown, and the next one is handled.
#pragma once

#include <string>
#include <vector>

#include "session/run_session.h"

namespace ulmar {

void DeleteFilesByForce(SessionServices& s, const std::vector<std::string>& files_to_delete);

}  // namespace ulmar

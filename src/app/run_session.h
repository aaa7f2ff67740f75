// The update session: one run from the start timer to the end, on the
// window's thread, its stages in order. Every outcome is shown through the
// display operations and written to the logs; nothing is returned.
#pragma once

#include "session/roles.h"

namespace ulmar {

void RunSession(Reporter& reporter, Machine& machine, Network& network, const Program& program);

}  // namespace ulmar

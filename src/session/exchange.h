// The conversation with the update server: the opening, the identity, the
// inventory of files and data sources, then the server's five lists.
#pragma once

#include "net/connection.h"
#include "session/roles.h"
#include "wire/server_lists.h"

namespace ulmar {

using wire::ServerLists;

// Runs the whole conversation on the connected server and closes the
// connection. False when it failed; the failure has then been logged and
// reported, and the session ends.
bool ExchangeWithServer(Reporter& reporter, Machine& machine, TrafficLog& tcp_log, Connection& server,
                        ServerLists& lists);

}  // namespace ulmar

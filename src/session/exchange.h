// The conversation with the update server: the opening, the identity, the
// inventory of files and data sources, then the server's five lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "datasources/db_alias.h"
#include "session/connection.h"
#include "session/run_session.h"

namespace ulmar {

// The server's verdict. The foreign files go to the window's list.
struct ServerLists {
  std::vector<std::string> FtpServers;
  // Two entries per file: the remote path at 2i, the local path at 2i + 1.
  std::vector<std::string> FilesToUpdate;
  int32_t UpdateCount = 0;  // as received; may be 0 or negative
  std::vector<TDBAlias> NewDataSources;
  std::vector<std::string> FilesToDelete;
};

// The connection's operations of the protocol: each send is one write.
void SendLine(Connection& c, const std::string& text);
void SendInt32(Connection& c, int32_t value);
void SendUInt32(Connection& c, uint32_t value);
std::string ReadLine(Connection& c);
int32_t ReadInt32(Connection& c);

// Runs the whole conversation on the connected server and closes the
// connection. False when it failed; the failure has then been logged and
// reported, and the session ends.
bool ExchangeWithServer(SessionServices& s, Connection& server, ServerLists& lists);

}  // namespace ulmar

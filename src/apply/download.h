// The download stage: records the installation directory and fetches the
// files to update from the first FTP server of the server's list that
// accepts the client, into the installation directory.
#pragma once

#include <string>

#include "session/exchange.h"
#include "session/run_session.h"

namespace ulmar {

// The FTP log-in, the same for every server.
inline constexpr char kFtpUser[] = "repl";
inline constexpr char kFtpPassword[] = "kestrel";

// Every backslash turned into a slash.
std::string ToFtpPath(const std::string& path);
// A server entry: host alone (base "/"), or host "/" path (base
// "/" + ToFtpPath(path) + "/").
void SplitServerEntry(const std::string& entry, std::string* host, std::string* base);
// Rounded to the nearest integer, halves to the even neighbour.
int StageProgress(int done, int count);

// False when the stage ended the session (its failure is reported).
// Errors of GetLocalDir, and of connecting other than FTP failures, are let
// through to the caller. fetched receives FetchedCount.
bool DownloadFiles(SessionServices& s, const ServerLists& lists, int* fetched);

}  // namespace ulmar

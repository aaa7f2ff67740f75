// The download stage: reads the installation directory and fetches the
// files to update from the first FTP server of the server's list that
// accepts the client, into the installation directory.
#pragma once

#include <optional>
#include <string>

#include "session/exchange.h"
#include "session/roles.h"

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

// What the stage leaves to the stages after it.
struct Downloaded {
  std::string install_dir;  // with a trailing backslash
  int fetched = 0;          // files received
};

// Nothing when the stage ended the session (its failure is reported).
// Errors of GetLocalDir, and of connecting other than FTP failures, are let
// through to the caller.
std::optional<Downloaded> DownloadFiles(Reporter& r, Machine& m, Network& n, const ServerLists& lists);

}  // namespace ulmar

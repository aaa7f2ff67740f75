// Installing the client's new version, staged by a session as
// "UlmarUpdater.exe.new" beside it, once the client has exited. The folder
// is never left without a client that starts: the staged file must be a
// whole executable image, the old client stays in place until the new one
// is, and a failed step puts back what was there (by a copy where another
// program keeps the files from being moved). A file another program holds
// is waited for; only a copy of the client running elsewhere makes the
// client move aside.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace ulmar {

inline constexpr char kClientName[] = "UlmarUpdater.exe";
inline constexpr char kStagedName[] = "UlmarUpdater.exe.new";
// Where the client goes when a running copy of it (another user's session,
// say) keeps it from being overwritten: a running program can be renamed,
// not replaced. The next run removes it. Its suffix keeps it out of the
// inventory and out of the server's foreign files, as a download's is.
inline constexpr char kAsideName[] = "UlmarUpdater.exe.replaced.ulmar-partial";

struct ReplacementTiming {
  int attempts = 120;     // moves tried in all, about a minute
  DWORD pause_ms = 500;   // between two of them
  int before_aside = 4;   // plain moves tried before the client is moved aside
};

// Runs the whole replacement in folder (ending with a backslash); parent,
// when given, is the client, waited for (handling this thread's messages)
// before anything moves. Every step goes to log. Returns the exit code: 0
// when nothing was staged or the new client is in place, 1 otherwise.
int InstallStagedClient(const std::string& folder, HANDLE parent,
                        const std::function<void(const std::string&)>& log, ReplacementTiming timing = {});

}  // namespace ulmar

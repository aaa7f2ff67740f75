// The tail of a session: the data sources the server sent, the support
// shortcut, the news page, the Run value, the companion program that
// replaces the executable, and the success end.
#pragma once

#include <string>

#include "apply/download.h"
#include "session/exchange.h"
#include "session/roles.h"

namespace ulmar {

// The two places the support shortcut may be, tried in this order.
inline constexpr char kShortcutPath1[] =
    "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\УЛМАР ВУЗа\\Новости и техническая поддержка.url";
inline constexpr char kShortcutPath2[] =
    "C:\\Documents and Settings\\All Users\\Главное меню\\Программы\\УЛМАР ВУЗа\\Новости и техническая поддержка.url";
inline constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr char kCompanion[] = "replace_ux.exe";

// "http://" + host + "/page/support/ulmar".
std::string SupportAddress(const std::string& host);
// What the Run value holds for path: the path, in double quotes when it
// contains a blank (so Windows cannot start a program from a cut path).
std::string AutorunCommand(const std::string& path);
// Makes the Run value "UlmarUpdater" hold AutorunCommand(path), rewriting it
// only when empty or different. Registry errors are raised.
void RegisterAutorun(Registry& registry, const std::string& path);

// Runs the finishing sequence. The session's outcome is shown; errors of
// the Run value and of LastUpdated are raised to the caller.
void FinishSession(Reporter& r, Machine& m, const Program& program, const ServerLists& lists,
                   const Downloaded& downloaded);

}  // namespace ulmar

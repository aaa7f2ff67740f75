// The program's own warning box: a modal dialog with the given title, the
// system's warning icon, the text and one button captioned "OK" in Latin
// letters whatever the system's language (a system message box would show
// the system's own caption, "ОК" on a Russian Windows). Enter, Escape, the
// button and the close box all dismiss it. Its window class is the system's
// dialog class, as a message box's is.
#pragma once

#include <windows.h>

#include <string>

namespace ulmar {

// Shows the box and returns once the operator has dismissed it. owner, when
// given, is disabled meanwhile and the box is centred on it.
void ShowWarningBox(HWND owner, const std::string& title, const std::string& text);

}  // namespace ulmar

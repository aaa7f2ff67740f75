// The application's default error display: what shows an error that no stage
// of the session caught.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace ulmar {

// A modal box with the error icon and one OK button, titled with the
// application's title; the text follows the full-stop rule of DefaultErrorText.
void ShowDefaultError(HWND owner, const std::string& message);

// Every path and text of the program is code page 1251: on a system whose
// ANSI code page is another, Cyrillic names would be read, reported and
// deleted under wrong names. When the system's code page is not the
// program's, shows why the program cannot run (through the wide API, so it
// reads right whatever the code page) and returns false; nothing else has
// been read or written.
bool CheckCodePage();

// Runs action; whatever it raises ends in the default error display, since
// nothing may unwind through the system's frames. False when it raised.
bool RunShowingErrors(HWND owner, const std::function<void()>& action);

}  // namespace ulmar

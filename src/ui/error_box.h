// The application's default error display: what shows an error that no stage
// of the session caught.
#pragma once

#include <windows.h>

#include <string>

namespace ulmar {

// A modal box with the error icon and one OK button, titled with the
// application's title; the text follows the full-stop rule of DefaultErrorText.
void ShowDefaultError(HWND owner, const std::string& message);

}  // namespace ulmar

#include "ui/error_box.h"

#include "base/errors.h"
#include "ui/app_texts.h"

namespace ulmar {

void ShowDefaultError(HWND owner, const std::string& message) {
  MessageBoxA(owner, DefaultErrorText(message).c_str(), kApplicationTitle, MB_OK | MB_ICONERROR);
}

}  // namespace ulmar

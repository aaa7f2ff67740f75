#include "ui/error_box.h"

#include "base/errors.h"
#include "ui/app_texts.h"

namespace ulmar {

void ShowDefaultError(HWND owner, const std::string& message) {
  MessageBoxA(owner, DefaultErrorText(message).c_str(), kApplicationTitle, MB_OK | MB_ICONERROR);
}

bool RunShowingErrors(HWND owner, const std::function<void()>& action) {
  try {
    action();
    return true;
  } catch (const std::exception& e) {
    ShowDefaultError(owner, e.what());
  } catch (...) {
    ShowDefaultError(owner, "Неизвестная ошибка");
  }
  return false;
}

}  // namespace ulmar

#include "ui/error_box.h"

#include <string>

#include "base/errors.h"
#include "ui/app_texts.h"

namespace ulmar {

void ShowDefaultError(HWND owner, const std::string& message) {
  MessageBoxA(owner, DefaultErrorText(message).c_str(), kApplicationTitle, MB_OK | MB_ICONERROR);
}

bool CheckCodePage() {
  const UINT code_page = GetACP();
  if (code_page == kProgramCodePage) return true;
  std::wstring text =
      L"Программа обновления УЛМАР работает только при кодовой странице Windows-1251 для программ, не "
      L"поддерживающих Юникод (язык системы: русский), а в системе установлена кодовая страница " +
      std::to_wstring(code_page) +
      L".\n\nОбновление не выполнено, на компьютере ничего не изменено. Обратитесь к администратору.\n\n"
      L"The ULMAR update client needs the ANSI code page 1251 (system locale: Russian); this system uses code "
      L"page " +
      std::to_wstring(code_page) + L". Nothing was updated or changed.";
  MessageBoxW(nullptr, text.c_str(), kApplicationTitleWide, MB_OK | MB_ICONERROR);
  return false;
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

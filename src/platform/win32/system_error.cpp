// Win32 error texts from the system's message table, in the user's language.
#include <windows.h>

#include "platform/system_error.h"

namespace ulmar {

std::string SystemErrorText(unsigned long code) {
  char buffer[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                           sizeof buffer, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) text.pop_back();
  if (text.empty()) text = "Системная ошибка " + std::to_string(code);
  return text;
}

}  // namespace ulmar

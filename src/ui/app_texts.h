// Texts of the application shown outside the session's own lines.
#pragma once

namespace ulmar {

// The application's title: caption of the default error box.
inline constexpr const char kApplicationTitle[] = "Репликация Тиховод - Клиент репликации";
// The same in UTF-16, for what is shown before the code page is known to be
// right.
inline constexpr const wchar_t kApplicationTitleWide[] = L"Репликация Тиховод - Клиент репликации";

// The only ANSI code page the program's texts, paths and wire data are in.
inline constexpr unsigned kProgramCodePage = 1251;

}  // namespace ulmar

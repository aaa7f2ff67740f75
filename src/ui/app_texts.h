// Texts of the application shown outside the session's own lines.
#pragma once

namespace ulmar {

// The application's title: caption of the default error box.
inline constexpr const char kApplicationTitle[] = "Репликация Тиховод - Клиент репликации";

}  // namespace ulmar

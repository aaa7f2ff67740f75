// UlmarUpdater: the update client of ULMAR. WinMain owns the session log for
// the whole program run and closes it once at the end.
#include <windows.h>

#include <memory>

#include "log/session_log.h"
#include "platform/clock.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  std::unique_ptr<ulmar::RegionalClock> clock = ulmar::MakeSystemClock();
  ulmar::SessionLog log(*clock);
  try {
    log.CloseLog();
  } catch (...) {
  }
  return 0;
}

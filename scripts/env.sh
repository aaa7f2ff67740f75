# Shared settings of the project's scripts; sourced, not run.
ULMAR_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${ULMAR_WINEPREFIX:-$ULMAR_ROOT/build/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
# Wine must never offer to download Mono or Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Code page 1251 and Russian regional formats for everything Wine runs.
unset LC_ALL LC_CTYPE LC_TIME LC_NUMERIC LC_COLLATE LC_MESSAGES LANGUAGE
export LANG=ru_RU.UTF-8
# 1: 32-bit code (the 32-bit half of Wine, so the client and every Windows
# test) runs through qemu's user-mode emulator even where the kernel runs it
# itself, as it must where the kernel does not (scripts/setup.sh sets it up):
# one machine can try the tests at both speeds.
export ULMAR_EMULATE_32BIT="${ULMAR_EMULATE_32BIT:-0}"

# Starts (once) the virtual display the Windows tests and the end-to-end
# tests draw on, and points DISPLAY at it.
ulmar_start_display() {
  local number="${ULMAR_DISPLAY_NUMBER:-97}"
  if ! xdpyinfo -display ":$number" >/dev/null 2>&1; then
    setsid nohup Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
    ULMAR_XVFB_PID=$!
    for _ in $(seq 50); do
      xdpyinfo -display ":$number" >/dev/null 2>&1 && break
      sleep 0.1
    done
  fi
  export DISPLAY=":$number"
}

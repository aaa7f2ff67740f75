#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12
# machine: packages (32-bit Wine among them), the ru_RU.UTF-8 locale, the
# project's Wine prefix and a persistent wineserver. Safe to run again.
set -euo pipefail
source "$(dirname "$0")/env.sh"

packages=(cmake make g++ googletest libbenchmark-dev
          wine wine32:i386 wine64 g++-mingw-w64-i686-posix libz-mingw-w64-dev
          xvfb imagemagick locales python3-pytest python3-pyftpdlib vsftpd
          iproute2 x11-utils)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then dpkg --add-architecture i386; fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$'; then
  echo "setup: generating ru_RU.UTF-8"
  sed -i 's/^# *\(ru_RU.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi

# A persistent, detached wineserver, started before anything else of Wine's
# runs in this prefix: test programs then start in a fraction of a second,
# and Wine's service processes never hold a test's output pipe. It fails
# when a server already runs for the prefix (kept from an earlier run).
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1 </dev/null || true

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "setup: booting the Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 </dev/null
fi

marker="$WINEPREFIX/.ulmar-settings-1"
if [ ! -f "$marker" ]; then
  echo "setup: configuring the Wine prefix"
  reg_add() { wine reg add "$@" /f >/dev/null 2>&1 </dev/null; }
  # The user's regional settings as Russian Windows has them: Wine's own
  # default long time format pads the hour ("09:05:07").
  reg_add 'HKCU\Control Panel\International' /v sTimeFormat /d 'H:mm:ss'
  reg_add 'HKCU\Control Panel\International' /v iTLZero /d 0
  # One virtual desktop: without a window manager on the X side, every
  # window that hides makes Wine wait two seconds for a withdrawal.
  reg_add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default
  reg_add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768
  # No sound devices here; message boxes then do not probe for them.
  reg_add 'HKCU\Software\Wine\Drivers' /v Audio /d ''
  touch "$marker"
fi

wine cmd /c exit </dev/null >/dev/null 2>&1

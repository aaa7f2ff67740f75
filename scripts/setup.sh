#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12
# machine: packages (32-bit Wine among them), the ru_RU.UTF-8 locale, the
# project's Wine prefix and a persistent wineserver. Safe to run again.
set -euo pipefail
source "$(dirname "$0")/env.sh"

packages=(cmake make g++ googletest libbenchmark-dev
          wine wine32:i386 wine64 g++-mingw-w64-i686-posix libz-mingw-w64-dev
          xvfb imagemagick locales python3-pytest python3-pyftpdlib vsftpd
          iproute2 x11-utils fonts-paratype clang-14 libclang-rt-14-dev
          libsqlite3-dev libpq-dev postgresql libcpp-httplib-dev chromium chromium-driver python3-selenium openssl
          haproxy)

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

# A kernel built or booted without IA-32 emulation runs no 32-bit code at
# all: the 32-bit half of Wine (and so every test of the 32-bit client) then
# runs through qemu's user-mode emulator, registered for 32-bit x86 ELF
# files. ULMAR_EMULATE_32BIT=1 (scripts/env.sh) uses the emulator on a kernel
# that does run 32-bit code too, so one machine can try both speeds; without
# it such a kernel runs Wine itself (an emulator registered by an earlier run
# is switched off). The emulator must be a recent one: with bookworm's own
# (7.2) every Wine process spends some fifty seconds reserving its address
# space, with the backported one (10.0) a fraction of a second.
binfmt=/proc/sys/fs/binfmt_misc
entry="$binfmt/qemu-i386"
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
# Whether the kernel itself runs 32-bit code: looked at with the emulator's
# entry switched off for the moment.
kernel_runs_32bit() {
  local was_on=
  if grep -qx enabled "$entry" 2>/dev/null; then echo 0 > "$entry"; was_on=1; fi
  local status=0
  /lib/ld-linux.so.2 --version >/dev/null 2>&1 || status=1
  [ -z "$was_on" ] || echo 1 > "$entry"
  return $status
}
if [ "${ULMAR_EMULATE_32BIT:-0}" = 1 ] || ! kernel_runs_32bit; then
  qemu=/usr/bin/qemu-i386
  if ! "$qemu" --version 2>/dev/null | grep -q 'version \(9\|[1-9][0-9]\)\.'; then
    echo "setup: installing qemu's user-mode emulator for 32-bit code"
    backports=/etc/apt/sources.list.d/ulmar-bookworm-backports.sources
    if [ ! -f "$backports" ]; then
      printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm-backports' \
        'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' > "$backports"
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user >/dev/null
  fi
  if ! grep -qx "interpreter $qemu" "$entry" 2>/dev/null; then
    [ ! -e "$entry" ] || echo -1 > "$entry"
    # ELF, 32-bit, little-endian, executable or shared object, i386; "F"
    # opens the emulator now, so it serves every namespace the tests make.
    echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
      > "$binfmt/register"
  fi
  echo 1 > "$entry"
  /lib/ld-linux.so.2 --version >/dev/null 2>&1 || { echo "setup: 32-bit programs still cannot run" >&2; exit 1; }
  echo "setup: 32-bit code runs through qemu's user-mode emulator"
else
  if [ -e "$entry" ]; then echo 0 > "$entry"; fi
  echo "setup: 32-bit code runs natively"
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

# Wine ships no Tahoma with Cyrillic letters and falls back to a wider face,
# which cuts the window's captions; with PT Sans (fonts-paratype) in its
# place every caption fits its fixed rectangle, as with Tahoma on a Russian
# Windows. Both registry views, for 32- and 64-bit programs.
marker="$WINEPREFIX/.ulmar-fonts-1"
if [ ! -f "$marker" ]; then
  echo "setup: PT Sans in place of Tahoma in the Wine prefix"
  for view in 32 64; do
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' /v Tahoma /d 'PT Sans' \
      /f "/reg:$view" >/dev/null 2>&1 </dev/null
  done
  touch "$marker"
fi

wine cmd /c exit </dev/null >/dev/null 2>&1

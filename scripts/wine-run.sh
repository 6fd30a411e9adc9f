#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix, created on
# first use (about ten seconds) and reused after, with drive Q: mapped to
# build/wine-drive-q. ctest uses this as the cross-compiling emulator, so the
# unit tests run on a real Win32 layer.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${QMK_WINEPREFIX:-$repo/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEARCH=win32
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >/dev/null 2>&1 || true
      wineserver -w
    fi
  ) 9>"$WINEPREFIX.lock"
fi
# Drive Q: is a folder of the build tree, so tests can install into a real
# drive's root (paths such as "Q:\x.txt") without touching anything else.
drive="${QMK_WINE_DRIVE_Q:-$repo/build/wine-drive-q}"
mkdir -p "$drive"
ln -sfn "$drive" "$WINEPREFIX/dosdevices/q:"
exec wine "$@"

#!/usr/bin/env bash
# The main job on the built-in demo: installs what is missing (apt-get, as
# root), builds QuellmarkSetup.exe with the demo product as its payload, and
# runs it under Wine - in a window on your display when there is one,
# otherwise on a virtual one (Xvfb) - confirming the proposed directory as a
# user pressing Enter would. Then it prints where everything went: the
# files, the install log, the Start-menu shortcuts and the registry key,
# and fails (exit 1) when any of them is missing or a file differs from the
# product it was packed from. Each run starts from a new Wine prefix.
#
# On a machine that cannot run 32-bit programs (Wine says "Exec format
# error") the Wine half runs in the VM of scripts/vm-wine.sh when its image
# is there (scripts/vm-wine-image.sh); without it the demo exits 3: built,
# but not run.
#
#   QMK_DEMO_WAIT=1 bash scripts/demo.sh   leaves the windows to you
#   bash scripts/demo.sh --run              only the Wine half, on a build made before
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$PWD"
setup=build/win32/QuellmarkSetup.exe
if [ "${1:-}" != --run ]; then
bash scripts/install-deps.sh

echo "== building the installer (MinGW-w64, i686)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2 --target QuellmarkSetup QuellmarkStub >build/build-demo.log 2>&1 || {
  tail -30 build/build-demo.log
  exit 1
}
for f in "$setup" build/win32/QuellmarkStub.exe; do
  printf '   %8s bytes  %s\n' "$(stat -c %s "$f")" "$f"
done

# Wine runs the 32-bit installer as a 32-bit Linux process; a kernel without
# IA-32 emulation cannot.
if ! wine --version >/dev/null 2>&1; then
  if [ -f "${QMK_VM_DIR:-/work/vm}/root.img" ] && [[ "$repo" == /work/* ]]; then
    echo "== this machine cannot run 32-bit programs: the rest runs in the VM (scripts/vm-wine.sh)"
    QMK_VM_ENV=QMK_DEMO_WAIT exec bash scripts/vm-wine.sh 'bash scripts/demo.sh --run'
  fi
  echo "demo: built, but this machine cannot run 32-bit programs ($(wine --version 2>&1 | tail -1)); nothing installed" >&2
  exit 3
fi
fi

# A Wine prefix of its own, so the demo starts from a machine without
# Quellmark on every run.
export WINEPREFIX="$repo/build/demo-prefix" WINEDEBUG=-all WINEARCH=win32
export WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
echo "== preparing a Wine prefix (build/demo-prefix)"
wineboot -i >/dev/null 2>&1 || true
wineserver -w

xvfb_pid=""
cleanup() {
  wineserver -k 2>/dev/null || true
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  echo "== running on your display $DISPLAY"
else
  for n in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || break
  done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  echo "== running on a virtual display $DISPLAY"
fi

# find_window TITLE: the X window of a Wine window with that title.
find_window() {
  local id=""
  for _ in $(seq 300); do
    id="$(xdotool search --name "^$1\$" 2>/dev/null | head -1)" && [ -n "$id" ] && break
    sleep 0.1
  done
  echo "$id"
}

wine "$setup" &
setup_pid=$!
if [ -z "${QMK_DEMO_WAIT:-}" ]; then
  window="$(find_window 'Installing Quellmark 3')"
  [ -n "$window" ] || { echo "demo: the setup window did not appear" >&2; exit 1; }
  sleep 1
  echo "   setup window up; pressing Enter to confirm the proposed directory"
  xdotool windowfocus --sync "$window" key Return 2>/dev/null || xdotool key Return
  box="$(find_window 'Information')"
  [ -n "$box" ] || box="$(find_window 'Quellmark')"
  sleep 1
  echo "   message: $(xdotool getwindowname "$box" 2>/dev/null)"
  xdotool windowfocus --sync "$box" key Return 2>/dev/null || xdotool key Return
fi
status=0
wait "$setup_pid" || status=$?
echo "   QuellmarkSetup.exe exited with code $status"

drive_c="$WINEPREFIX/drive_c"
payload=build/win32/demo-payload
problems=0
# missing WHAT: one thing the run should have made and did not.
missing() {
  echo "demo: MISSING: $*" >&2
  problems=$((problems + 1))
}

dir="$(find "$drive_c" -maxdepth 2 -iname 'QMK' -type d | head -1)"
[ -n "$dir" ] || { echo "demo: nothing was installed" >&2; exit 1; }
echo
echo "== files (C:${dir#$drive_c}, on this machine $dir)"
(cd "$dir" && find . -type f | sort | while read -r f; do
  printf '   %8s  %s  %s\n' "$(stat -c %s "$f")" "$(date -r "$f" '+%Y-%m-%d %H:%M')" "${f#./}"
done)
while read -r f; do
  if [ ! -f "$dir/$f" ]; then
    missing "the product file $f"
  elif ! cmp -s "$payload/$f" "$dir/$f"; then
    missing "the product file $f as packed (the installed copy differs)"
  fi
done < <(cd "$payload" && find . -type f | sed 's|^\./||' | sort)
echo
echo "== install log uninstall.list (read by the product's uninstaller, qmk.exe -uninstall)"
if [ -f "$dir/uninstall.list" ]; then
  tr -d '\r' <"$dir/uninstall.list" | sed 's/^/   /'
  while read -r f; do
    grep -qF "\\${f//\//\\}"$'\r' "$dir/uninstall.list" || missing "a line for $f in uninstall.list"
  done < <(cd "$payload" && find . -type f | sed 's|^\./||')
  [ "$(grep -c '\.lnk'$'\r''$' "$dir/uninstall.list")" = 4 ] || missing "the four shortcuts' lines in uninstall.list"
  grep -q '^reg: ' "$dir/uninstall.list" || missing "the reg: line in uninstall.list"
else
  missing "uninstall.list"
fi
echo
echo "== Start-menu shortcuts"
programs="$(find "$drive_c/users" -path '*Start Menu/Programs/Quellmark' -type d | head -1)"
links=0
for link in "$programs"/*.lnk; do
  [ -f "$link" ] || continue
  links=$((links + 1))
  echo "   ${link#$drive_c/}"
  if command -v lnkinfo >/dev/null; then
    lnkinfo "$link" 2>/dev/null | grep -E 'Local path|Command line arguments|Working directory|Icon index|Icon location' |
      sed 's/^[[:space:]]*/      /' || true
  fi
done
[ "$links" = 4 ] || missing "four shortcuts in the Start-menu folder Quellmark (found $links)"
echo
echo "== registry"
key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\QMK'
values="$(wine reg query "$key" 2>/dev/null | tr -d '\r' | sed '/^$/d' || true)"
sed 's/^/   /' <<<"$values"
grep -q 'UninstallString.*qmk\.exe.*-uninstall' <<<"$values" || missing "the uninstall key $key with its UninstallString"
echo
if [ "$status" != 0 ] || [ "$problems" != 0 ]; then
  echo "demo: FAILED (exit code $status, $problems missing)" >&2
  exit 1
fi
echo "demo: installed and checked: every product file, uninstall.list, $links shortcuts, the uninstall key"

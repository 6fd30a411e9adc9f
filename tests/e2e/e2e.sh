#!/usr/bin/env bash
# e2e.sh setup | run NAME | teardown - the installer end to end under Wine and
# Xvfb, worked by e2e_driver.exe as a user would, read back by tools sharing no
# code with it. setup starts Xvfb and makes the prefix (once); run NAME runs
# scenario_NAME of scenarios.sh from a reset state. Checks print ok: or FAIL:.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

: "${QMK_E2E_STATE:?set QMK_E2E_STATE (ctest does)}"
STATE="$QMK_E2E_STATE"
# QMK_E2E_PREFIX: a prefix on a disk with chattr, when the build tree has none.
PREFIX="${QMK_E2E_PREFIX:-$STATE/prefix}"
C="$PREFIX/drive_c"
export WINEPREFIX="$PREFIX" WINEARCH=win32 WINEDEBUG="${QMK_E2E_WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=C.UTF-8

UNINSTALL_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\QMK'
COMPLETE_TEXT='  Installing complited .        '
PROPOSAL='C:\Program files\QMK\'
INSTALLER='C:\e2e\dl\QuellmarkSetup.exe'
W="$STATE/work"

do_setup() {
  mkdir -p "$STATE"
  do_teardown quiet
  # Xvfb writes the display it picked to fd 3; detached from ctest's pipes.
  rm -f "$STATE/display"
  setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$STATE/display" </dev/null >"$STATE/xvfb.log" 2>&1 &
  echo $! >"$STATE/xvfb.pid"
  for _ in $(seq 100); do
    [ -s "$STATE/display" ] && break
    sleep 0.1
  done
  [ -s "$STATE/display" ] || { echo "FAIL: Xvfb did not start"; cat "$STATE/xvfb.log"; return 1; }
  export DISPLAY=":$(head -1 "$STATE/display")"
  if [ ! -f "$PREFIX/.e2e-ready" ]; then
    echo "making the test prefix $PREFIX (once)"
    rm -rf "$PREFIX"
    wineboot -i >"$STATE/wineboot.log" 2>&1
    wineserver -w
    touch "$PREFIX/.e2e-ready"
  fi
  wine regedit /S "Z:${here//\//\\}\\prefix.reg" >/dev/null 2>&1
  wine "$QMK_E2E_DRIVER" programs-folder >"$STATE/folders" 2>/dev/null
  grep -q '^programs-folder [A-Z]:' "$STATE/folders" || { echo "FAIL: the prefix has no Programs folder"; return 1; }
  cat "$STATE/folders"
}

do_teardown() {
  [ ! -f "$PREFIX/system.reg" ] || wineserver -k 2>/dev/null
  [ ! -f "$STATE/xvfb.pid" ] || kill "$(cat "$STATE/xvfb.pid")" 2>/dev/null
  rm -f "$STATE/xvfb.pid" "$STATE/display"
  [ "${1:-}" = quiet ] || echo "stopped"
}

# --- checks ----------------------------------------------------------------

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
ok() { echo "ok: $*"; }

# check WHAT COMMAND...: ok when the command succeeds.
check() {
  local what="$1"
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}

check_eq() {
  if [ "$2" == "$3" ]; then
    ok "$1"
  else
    fail "$1"
    printf '    expected: [%s]\n    actual:   [%s]\n' "$2" "$3"
  fi
}

check_file_eq() {
  if cmp -s "$2" "$3"; then
    ok "$1"
  else
    fail "$1 (- expected, + actual; ^M is CR)"
    diff -u <(cat -A "$2") <(cat -A "$3") | sed -n '3,200p' | sed 's/^/    /'
  fi
}

# The Linux path of a Windows path, existing components matched in any case, as Wine does.
unix_of() {
  local win="$1" dir comp match drive
  drive="$PREFIX/dosdevices/$(echo "${win:0:1}" | tr A-Z a-z):"
  [[ "$win" =~ ^[A-Za-z]:\\ ]] && [ -d "$drive" ] || { echo "/nonexistent/$win"; return; }
  dir="$(readlink -f "$drive")"
  local IFS='\'
  for comp in ${win:3}; do
    match="$(find "$dir" -mindepth 1 -maxdepth 1 -iname "$comp" -printf '%f\n' 2>/dev/null | head -1)"
    dir="$dir/${match:-$comp}"
  done
  echo "$dir"
}
z_path() { echo "Z:${1//\//\\}"; }

# drv OUT STEP...: the driver, its output in OUT (a pipe the installer would inherit).
run_no=0
drv() {
  local out="$1" rc
  shift
  wine "$QMK_E2E_DRIVER" "$@" >"$out" 2>"$out.stderr"
  rc=$?
  run_no=$((run_no + 1))
  echo "--- driver run $run_no: $(basename "$out")"
  sed 's/^/    | /' "$out"
  grep -a -v -e '^wine: Read access denied' -e ':trace:' -e ':fixme:' -e '^$' "$out.stderr" | sed 's/^/    ! /'
  return $rc
}

# nth FILE PREFIX [N]: the Nth line of FILE starting with PREFIX, without it.
nth() {
  tr -d '\r' <"$1" | awk -v p="$2" -v n="${3:-1}" 'index($0, p) == 1 && ++k == n { print substr($0, length(p) + 1); exit }'
}
# tops FILE: the visible windows a "windows" step listed, joined by "|".
tops() { tr -d '\r' <"$1" | sed -n 's/^top //p' | paste -sd'|'; }
check_exit() { check_eq "exit code" "$2" "$(nth "$1" 'exit code=')"; }

# The installer in a download folder of its own.
place_installer() {
  mkdir -p "$C/e2e/dl"
  cp "${1:-$QMK_E2E_SETUP}" "$C/e2e/dl/QuellmarkSetup.exe"
}

# What fault scenarios take away, put back by them and the next reset: the key's
# rules, the Programs folder, drive R: (a tmpfs), immutable directories.
FAULT_DRIVE=r
restore_faults() {
  if [ -f "$STATE/uninstall-key.denied" ]; then
    wine "$QMK_E2E_DRIVER" reg-allow "${UNINSTALL_KEY%\\QMK}" >/dev/null 2>&1 && rm "$STATE/uninstall-key.denied" ||
      fail "cannot allow changes to the uninstall key again"
  fi
  local d programs
  [ ! -f "$STATE/immutable" ] || while IFS= read -r d; do
    [ ! -e "$d" ] || chattr -i "$d" || fail "cannot make $d mutable again"
  done <"$STATE/immutable"
  rm -f "$STATE/immutable"
  programs="$(unix_of "$PROGRAMS")"
  if [ -d "$programs.e2e-moved" ]; then
    rm -rf "$programs"
    mv "$programs.e2e-moved" "$programs" || fail "cannot put back $programs"
  fi
  rm -f "$PREFIX/dosdevices/$FAULT_DRIVE:"
  ! mountpoint -q "$STATE/fault-drive" 2>/dev/null || umount "$STATE/fault-drive" || fail "cannot unmount the fault drive"
  rmdir "$STATE/fault-drive" 2>/dev/null
  return 0
}
# make_immutable PATH: as root under Wine plain permissions stop nothing.
make_immutable() {
  echo "$1" >>"$STATE/immutable"
  chattr +i "$1"
}

# Back to the prefix as made, with only the installer in C:\e2e.
reset_state() {
  local d
  restore_faults
  for d in "$(unix_of "$PROPOSAL")" "$C/e2e" "$(unix_of "$PROGRAMS\\Quellmark")"; do
    [ -e "$d" ] || continue
    chattr -R -i "$d" 2>/dev/null
    chmod -R u+w "$d" 2>/dev/null
    rm -rf "$d"
  done
  mkdir -p "$C/e2e"
  wine "$QMK_E2E_DRIVER" reg-delete "$UNINSTALL_KEY" >/dev/null 2>&1 || fail "cannot delete the uninstall key"
  find "$C" -name uninstall.list -delete 2>/dev/null
  place_installer
}

# snapshot FILE: everything under drive C: (path, type, size, time).
snapshot() {
  (cd "$C" && find . -path ./windows/temp -prune -o -path './users/*/Temp' -prune \
    -o -type d -printf '%p\td\n' -o -printf '%p\t%y\t%s\t%T@\n') | LC_ALL=C sort >"$1"
}

no_menu() { [ ! -e "$(unix_of "$PROGRAMS\\Quellmark")" ]; }
no_key() { wine "$QMK_E2E_DRIVER" reg-dump "$UNINSTALL_KEY" 2>/dev/null | grep -q '^regkey missing'; }

# check_nothing_written WHAT BEFORE: drive C: as in BEFORE, no menu folder, log or key.
check_nothing_written() {
  snapshot "$2.after"
  if cmp -s "$2" "$2.after"; then
    ok "$1: nothing on drive C: changed"
  else
    fail "$1: drive C: changed (< before, > after)"
    diff "$2" "$2.after" | head -40 | sed 's/^/    /'
  fi
  check "$1: no Start-menu folder" no_menu
  check_eq "$1: no uninstall.list" "" "$(find "$C" -name uninstall.list)"
  check "$1: no uninstall key" no_key
}

# --- what an installation must leave ----------------------------------------

# The time the payload's file times were clamped to, if any.
payload_epoch() {
  if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    echo "$SOURCE_DATE_EPOCH"
  elif [ -n "${QMK_E2E_EPOCH_REPO:-}" ]; then
    git -C "$QMK_E2E_EPOCH_REPO" log -1 --format=%ct 2>/dev/null
  fi
}

# The payload's entries in archive order: lines "d REL" or "f REL", REL with "\".
payload_entries() {
  local dir="$1" rel="${2:-}" name
  while IFS= read -r name; do
    if [ -d "$dir/$name" ]; then
      echo "d ${rel:+$rel\\}$name"
      payload_entries "$dir/$name" "${rel:+$rel\\}$name"
    else
      echo "f ${rel:+$rel\\}$name"
    fi
  done < <(find "$dir" -mindepth 1 -maxdepth 1 -printf '%f\n' | LC_ALL=C sort)
}

# check_files DIR [KEEP...]: the payload's bytes, times and attributes under DIR
# (ending in "\"), and nothing else but uninstall.list and the user's KEEP.
check_files() {
  local win="$1" u rel epoch want got keep=(-x uninstall.list) steps=() late="" attrs=""
  u="$(unix_of "$win")"
  for rel in "${@:2}"; do keep+=(-x "$rel"); done
  check_eq "the payload byte for byte, and nothing else, under $win" "" "$(diff -rq "${keep[@]}" "$QMK_E2E_PAYLOAD" "$u" 2>&1)"
  epoch="$(payload_epoch)"
  while IFS= read -r rel; do
    want="$(stat -c %Y "$QMK_E2E_PAYLOAD/$rel")"
    [ -z "$epoch" ] || [ "$want" -le "$epoch" ] || want="$epoch"
    got="$(stat -c %Y "$u/$rel" 2>/dev/null || echo 0)"
    [ $((got - want)) -le 2 ] && [ $((want - got)) -le 2 ] || late+=" $rel"
    # Read-only exactly where the source is, read through the system.
    steps+=(attrs "$win${rel//\//\\}")
    attrs+="0x0000002$([ -n "$(find "$QMK_E2E_PAYLOAD/$rel" -perm -u+w)" ] && echo 0 || echo 1) $win${rel//\//\\}|"
  done < <(cd "$QMK_E2E_PAYLOAD" && find . -type f -printf '%P\n' | LC_ALL=C sort)
  check_eq "every file's time within 2 s of the payload's" "" "$late"
  drv "$W/attrs.txt" "${steps[@]}" >/dev/null
  check_eq "every file's attributes" "$attrs" "$(tr -d '\r' <"$W/attrs.txt" | sed -n 's/^attrs \(.*\)/\1|/p' | tr -d '\n')"
}

# expected_log OUT DIR ROOTLINE [no-start-menu]: the install log of a run into DIR.
expected_log() {
  local win="${2%\\}" kind rel l
  {
    printf '%s\r\n' "$3"
    while read -r kind rel; do
      [ "$kind" = f ] && printf '%s\\%s\r\n' "$win" "$rel" || printf 'mkd: %s ::: %s\r\n' "$win" "$rel"
    done < <(payload_entries "$QMK_E2E_PAYLOAD")
    if [ -z "${4:-}" ]; then
      printf 'mkd: %s ::: Quellmark\r\n' "$PROGRAMS"
      for l in Quellmark.lnk 'ReadMe(eng).lnk' 'ReadMe(rus).lnk' Uninstall.lnk; do
        printf '%s\\Quellmark\\%s\r\n' "$PROGRAMS" "$l"
      done
    fi
    printf 'reg: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ ::: QMK\r\n'
  } >"$1"
}

# check_log DIR ROOTLINE [no-start-menu]
check_log() {
  expected_log "$W/expected.list" "$@"
  check_file_eq "uninstall.list line for line" "$W/expected.list" "$(unix_of "${1}uninstall.list")"
}

# check_links DIR SHORT: the four shortcuts, read with lnkinfo.
check_links() {
  local win="$1" short="$2" dir row name f
  dir="$(unix_of "$PROGRAMS\\Quellmark")"
  # name | target | working directory | arguments | icon index | icon location | description
  local rows=(
    "Quellmark.lnk|${win}qmk.exe|${win%\\}||0||"
    "ReadMe(eng).lnk|${short}readme.txt|${short%\\}||0||"
    "ReadMe(rus).lnk|${short}readme.rus.txt|${short%\\}||0||"
    "Uninstall.lnk|${short}qmk.exe|${short%\\}|-uninstall|2|${short}qmk.exe|"
  )
  for row in "${rows[@]}"; do
    name="${row%%|*}"
    f="$dir/$name"
    [ -f "$f" ] && lnkinfo "$f" >"$W/lnk.txt" 2>&1 || { fail "shortcut $name missing or unreadable"; continue; }
    check_eq "$name: target, working directory, arguments, icon index and location, description" "$row" "$name|$(
      for field in 'Local path' 'Working directory' 'Command line arguments' 'Icon index' 'Icon location' Description; do
        echo "$(tr -d '\r' <"$W/lnk.txt" | sed -n "s/^\t$field\t*: \{0,1\}//p" | head -1)"
      done | paste -sd'|')"
  done
  check_eq "nothing else in the Start-menu folder" "Quellmark.lnk|ReadMe(eng).lnk|ReadMe(rus).lnk|Uninstall.lnk" \
    "$(ls "$dir" | LC_ALL=C sort | paste -sd'|')"
}

# check_registry SHORT: exactly the key's two values, types and sizes, read by the system.
check_registry() {
  local cmd="${1}qmk.exe -uninstall"
  wine "$QMK_E2E_DRIVER" reg-dump "$UNINSTALL_KEY" 2>/dev/null | tr -d '\r' | grep '^regvalue' | LC_ALL=C sort >"$W/reg.txt"
  printf '%s\n' "regvalue name=DisplayName type=REG_SZ size=10 data=Quellmark<00>" \
    "regvalue name=UninstallString type=REG_SZ size=$((${#cmd} + 1)) data=$cmd<00>" | LC_ALL=C sort >"$W/reg.expected"
  check_file_eq "uninstall key: values, types and sizes" "$W/reg.expected" "$W/reg.txt"
}

# The short form of an existing Windows path, as the system gives it.
short_of() { wine "$QMK_E2E_DRIVER" shortpath "$1" 2>/dev/null | tr -d '\r' | sed -n 's/^shortpath //p'; }

# check_installed DIR ROOTLINE: all a successful install leaves.
check_installed() {
  local short
  short="$(short_of "$1")"
  [ -n "$short" ] && [ "$short" != "<none>" ] || fail "no short form of $1"
  check_files "$1"
  check_log "$1" "$2"
  check_links "$1" "$short"
  check_registry "$short"
}

# check_msgbox OUT CAPTION TEXT ICON [N]: the Nth message box; line breaks as "|".
check_msgbox() {
  local out="$1" n="${5:-1}" text
  text="$(nth "$out" 'msgbox-text text=' "$n" | sed 's/<0D>//g; s/<0A>/\n/g' | grep -v '^$' | paste -sd'|')"
  check_eq "message $n: caption, text, icon" "$2|$3|$4" \
    "$(nth "$out" 'msgbox caption=' "$n")|$text|$(nth "$out" 'msgbox-icon kind=' "$n" | sed 's/ .*//')"
}

# --- main --------------------------------------------------------------------

run_scenario() {
  # shellcheck source=scenarios.sh
  source "$here/scenarios.sh"
  declare -F "scenario_$1" >/dev/null || { echo "no scenario $1"; return 2; }
  export DISPLAY=":$(head -1 "$STATE/display" 2>/dev/null)"
  PROGRAMS="$(sed -n 's/^programs-folder //p' "$STATE/folders" 2>/dev/null | tr -d '\r')"
  [ "$DISPLAY" != ":" ] && [ -n "$PROGRAMS" ] || { echo "FAIL: no display or prefix: run 'e2e.sh setup' first"; exit 1; }
  rm -rf "$W"
  mkdir -p "$W"
  # One wineserver for the scenario: it keeps a key's access rules, which live only in it.
  wineserver -p
  reset_state
  echo "=== scenario $1"
  "scenario_$1"
  wineserver -k 2>/dev/null
  [ "$failures" = 0 ] && echo "=== $1: passed" || { echo "=== $1: $failures check(s) failed"; return 1; }
}

# Two runs over one build tree take turns; one that finds the display gone starts it
# again. flock holds the lock itself (-o), so Xvfb and Wine do not inherit it.
display_alive() {
  local pid n
  pid="$(cat "$STATE/xvfb.pid" 2>/dev/null)"
  n="$(head -1 "$STATE/display" 2>/dev/null)"
  [ -n "$pid" ] && [ -n "$n" ] && [ -S "/tmp/.X11-unix/X$n" ] && ps -o stat= -p "$pid" 2>/dev/null | grep -qv Z
}

case "${1:-}" in
  setup | teardown | run) mkdir -p "$STATE" && exec flock -o "$STATE/lock" bash "$here/e2e.sh" "locked-$@" ;;
  locked-setup) do_setup ;;
  locked-teardown) do_teardown ;;
  locked-run)
    display_alive || do_setup >"$STATE/setup-again.log" 2>&1 || { cat "$STATE/setup-again.log"; exit 1; }
    run_scenario "$2"
    ;;
  *) sed -n '2,10p' "$0"; exit 2 ;;
esac

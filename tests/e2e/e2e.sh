#!/usr/bin/env bash
# e2e.sh - the installer's end-to-end tests: the real QuellmarkSetup.exe
# under Wine on a virtual X display, worked by e2e_driver.exe as a user
# works it, and checked with readers that share no code with it.
#
#   e2e.sh setup | run NAME | teardown
#
# setup starts Xvfb and makes the test prefix (once); run NAME runs
# scenario_NAME of scenarios.sh from a reset state; teardown stops both.
# ctest runs them (see CMakeLists.txt, which sets the QMK_E2E_* variables).
# A scenario prints "ok: ..." for each check that holds and "FAIL: ..."
# with the expected and actual values for each that does not.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

: "${QMK_E2E_STATE:?set QMK_E2E_STATE (ctest does)}"
STATE="$QMK_E2E_STATE"
# QMK_E2E_PREFIX puts the prefix elsewhere: on a local disk when the build
# tree is on a network file system without chattr (the VM of vm-wine.sh).
PREFIX="${QMK_E2E_PREFIX:-$STATE/prefix}"
C="$PREFIX/drive_c"
export WINEPREFIX="$PREFIX"
export WINEARCH=win32
export WINEDEBUG="${QMK_E2E_WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=C.UTF-8

UNINSTALL_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\QMK'
COMPLETE_TEXT='  Installing complited .        '
DAMAGED_TEXT='The installer is damaged and cannot install Quellmark. Please obtain a new copy.'
FULL_PATH_TEXT='Please enter the full path of the installation directory, for example C:\Program files\QMK\'
PROPOSAL='C:\Program files\QMK\'

# --- the virtual display and the prefix -----------------------------------

do_setup() {
  mkdir -p "$STATE"
  do_teardown quiet
  # Xvfb picks a free display itself and writes its number to fd 3. It is
  # detached from ctest's pipes so the fixture test can end while it runs.
  rm -f "$STATE/display"
  setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$STATE/display" </dev/null >"$STATE/xvfb.log" 2>&1 &
  echo $! >"$STATE/xvfb.pid"
  for _ in $(seq 100); do
    [ -s "$STATE/display" ] && break
    sleep 0.1
  done
  if [ ! -s "$STATE/display" ]; then
    echo "FAIL: Xvfb did not start"; cat "$STATE/xvfb.log"; return 1
  fi
  export DISPLAY=":$(head -1 "$STATE/display")"
  echo "display $DISPLAY"
  if [ ! -f "$PREFIX/.e2e-ready" ]; then
    echo "making the test prefix $PREFIX (once)"
    rm -rf "$PREFIX"
    wineboot -i >"$STATE/wineboot.log" 2>&1
    wineserver -w
    touch "$PREFIX/.e2e-ready"
  fi
  wine regedit /S "Z:${here//\//\\}\\prefix.reg" >/dev/null 2>&1
  # Where the shell puts this user's Start-menu programs.
  wine "$QMK_E2E_DRIVER" programs-folder >"$STATE/folders" 2>/dev/null
  if ! grep -q '^programs-folder [A-Z]:' "$STATE/folders"; then
    echo "FAIL: the prefix has no Programs folder"; cat "$STATE/folders"; return 1
  fi
  cat "$STATE/folders"
}

do_teardown() {
  if [ -f "$PREFIX/system.reg" ]; then
    wineserver -k 2>/dev/null || true
  fi
  if [ -f "$STATE/xvfb.pid" ]; then
    kill "$(cat "$STATE/xvfb.pid")" 2>/dev/null || true
    rm -f "$STATE/xvfb.pid" "$STATE/display"
  fi
  [ "${1:-}" = quiet ] || echo "stopped"
}

# --- checks ----------------------------------------------------------------

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
ok() { echo "ok: $*"; }

# check_eq WHAT EXPECTED ACTUAL
check_eq() {
  if [ "$2" == "$3" ]; then
    ok "$1"
  else
    fail "$1"
    echo "    expected: [$2]"
    echo "    actual:   [$3]"
  fi
}

# check_file_eq WHAT EXPECTED_FILE ACTUAL_FILE: the same bytes, a diff if not.
check_file_eq() {
  if cmp -s "$2" "$3"; then
    ok "$1"
  else
    fail "$1 (- expected, + actual; ^M is CR)"
    diff -u <(cat -A "$2") <(cat -A "$3") | sed -n '3,200p' | sed 's/^/    /'
  fi
}

# --- paths ---------------------------------------------------------------

# The Linux path of a Windows path on drive C:, matching each existing
# component without regard to case as Wine does.
unix_of() {
  local win="$1" rest dir comp match
  if [[ "$win" =~ ^[Cc]:\\ ]]; then
    dir="$C"
  elif [[ "$win" =~ ^[A-Za-z]:\\ ]] && [ -d "$PREFIX/dosdevices/$(echo "${win:0:1}" | tr A-Z a-z):" ]; then
    dir="$(readlink -f "$PREFIX/dosdevices/$(echo "${win:0:1}" | tr A-Z a-z):")"
  else
    echo "/nonexistent/$win"; return
  fi
  rest="${win:3}"
  local IFS='\'
  for comp in $rest; do
    [ -n "$comp" ] || continue
    match=""
    if [ -d "$dir" ]; then
      match="$(find "$dir" -mindepth 1 -maxdepth 1 -iname "$comp" -printf '%f\n' 2>/dev/null | head -1)"
    fi
    dir="$dir/${match:-$comp}"
  done
  echo "$dir"
}

PROGRAMS=""
load_state() {
  export DISPLAY=":$(head -1 "$STATE/display" 2>/dev/null)"
  PROGRAMS="$(sed -n 's/^programs-folder //p' "$STATE/folders" 2>/dev/null | tr -d '\r')"
  if [ "$DISPLAY" = ":" ] || [ -z "$PROGRAMS" ]; then
    echo "FAIL: no display or prefix: run 'e2e.sh setup' first (ctest's e2e.setup)"
    exit 1
  fi
}

# --- running Windows programs ---------------------------------------------

run_no=0
# drv OUT STEP...: the driver with its output in the file OUT (never a pipe:
# the installer inherits the driver's handles, and a pipe would stay open).
drv() {
  local out="$1"
  shift
  run_no=$((run_no + 1))
  wine "$QMK_E2E_DRIVER" "$@" >"$out" 2>"$out.stderr"
  local rc=$?
  echo "--- driver run $run_no: $(basename "$out")"
  sed 's/^/    | /' "$out"
  grep -a -v -e '^wine: Read access denied' -e ':trace:' -e ':fixme:' -e '^$' "$out.stderr" | sed 's/^/    ! /'
  return $rc
}

# The Nth (default first) value of the lines of FILE that start with PREFIX,
# with PREFIX removed: nth FILE PREFIX [N].
nth() {
  tr -d '\r' <"$1" | awk -v p="$2" -v n="${3:-1}" \
    'index($0, p) == 1 { if (++k == n) { print substr($0, length(p) + 1); exit } }'
}
exit_code_of() { grep -m1 '^exit code=' "$1" | tr -d '\r' | sed 's/exit code=//'; }

# The installer as a user would have it: a copy in a download folder of its
# own, C:\e2e\dl. Prints its Windows path.
INSTALLER='C:\e2e\dl\QuellmarkSetup.exe'
place_installer() {
  mkdir -p "$C/e2e/dl"
  cp "${1:-$QMK_E2E_SETUP}" "$C/e2e/dl/QuellmarkSetup.exe"
}

# The Windows path (drive Z:) of a Linux path.
z_path() { local p="$1"; echo "Z:${p//\//\\}"; }

# Put back what the fault scenarios take away: the uninstall parent key's
# access rules and this user's Programs folder.
restore_registry_rules() {
  [ -f "$STATE/uninstall-key.denied" ] || return 0
  wine "$QMK_E2E_DRIVER" reg-allow "${UNINSTALL_KEY%\\QMK}" >/dev/null 2>&1 \
    && rm -f "$STATE/uninstall-key.denied" || fail "cannot allow changes to the uninstall key again"
}
restore_programs_folder() {
  local programs
  programs="$(unix_of "$PROGRAMS")"
  if [ -d "$programs.e2e-moved" ]; then
    rm -rf "$programs"
    mv "$programs.e2e-moved" "$programs" || fail "cannot put back $programs"
  fi
}

# The drive a scenario maps (FAULT_DRIVE:, a tmpfs mounted on
# $STATE/fault-drive) and the directories it makes immutable (listed in
# $STATE/immutable) are put back by the scenario and by the next reset.
FAULT_DRIVE=r
restore_fault_drive() {
  rm -f "$PREFIX/dosdevices/$FAULT_DRIVE:"
  if mountpoint -q "$STATE/fault-drive" 2>/dev/null; then
    umount "$STATE/fault-drive" || fail "cannot unmount $STATE/fault-drive"
  fi
  rmdir "$STATE/fault-drive" 2>/dev/null
  return 0
}
restore_immutable() {
  local d
  [ -f "$STATE/immutable" ] || return 0
  while IFS= read -r d; do
    [ -e "$d" ] && { chattr -i "$d" || fail "cannot make $d mutable again"; }
  done <"$STATE/immutable"
  rm -f "$STATE/immutable"
}
# make_immutable PATH: as root under Wine plain permissions do not stop
# writes; an immutable directory refuses root too.
make_immutable() {
  echo "$1" >>"$STATE/immutable"
  chattr +i "$1"
}

# Back to the prefix as made: nothing installed, no Start-menu folder, no
# uninstall key, an empty scratch folder C:\e2e.
reset_state() {
  local d
  restore_registry_rules
  restore_immutable
  restore_programs_folder
  restore_fault_drive
  for d in "$(unix_of "$PROPOSAL")" "$C/e2e" "$(unix_of "$PROGRAMS\\Quellmark")"; do
    if [ -e "$d" ]; then
      # An immutable file (the read-only scenario's) would stay otherwise.
      chattr -R -i "$d" 2>/dev/null
      chmod -R u+w "$d" 2>/dev/null
      rm -rf "$d"
    fi
  done
  mkdir -p "$C/e2e"
  wine "$QMK_E2E_DRIVER" reg-delete "$UNINSTALL_KEY" >/dev/null 2>&1 || fail "cannot delete the uninstall key"
  find "$C" -name uninstall.list -delete 2>/dev/null
}

# A listing of everything under drive C: (path, type, size, time), for
# showing that a run wrote nothing.
snapshot() {
  (cd "$C" && find . -path ./windows/temp -prune -o -path './users/*/Temp' -prune \
    -o -type d -printf '%p\td\n' -o -printf '%p\t%y\t%s\t%T@\n') | LC_ALL=C sort >"$1"
}

# check_nothing_written WHAT BEFORE: no file or folder changed since the
# snapshot BEFORE, no uninstall key, no Start-menu folder, no install log.
check_nothing_written() {
  local what="$1" before="$2" after="$2.after"
  snapshot "$after"
  if cmp -s "$before" "$after"; then
    ok "$what: nothing on drive C: changed"
  else
    fail "$what: drive C: changed (< before, > after)"
    diff "$before" "$after" | head -40 | sed 's/^/    /'
  fi
  [ ! -e "$(unix_of "$PROGRAMS\\Quellmark")" ] && ok "$what: no Start-menu folder" \
    || fail "$what: the Start-menu folder $PROGRAMS\\Quellmark exists"
  [ -z "$(find "$C" -name uninstall.list 2>/dev/null)" ] && ok "$what: no uninstall.list" \
    || fail "$what: an uninstall.list was written: $(find "$C" -name uninstall.list)"
  local reg="$before.reg"
  wine "$QMK_E2E_DRIVER" reg-dump "$UNINSTALL_KEY" >"$reg" 2>/dev/null
  grep -q '^regkey missing' "$reg" && ok "$what: no uninstall key" || { fail "$what: the uninstall key exists"; cat "$reg"; }
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

# The payload's entries in archive order: at each level the names sorted
# bytewise, a directory before its contents. Lines "d REL" or "f REL", REL
# with backslashes.
payload_entries() {
  local dir="$1" rel="${2:-}" name
  while IFS= read -r name; do
    local r="${rel:+$rel\\}$name"
    if [ -d "$dir/$name" ]; then
      echo "d $r"
      payload_entries "$dir/$name" "$r"
    else
      echo "f $r"
    fi
  done < <(find "$dir" -mindepth 1 -maxdepth 1 -printf '%f\n' | LC_ALL=C sort)
}

# check_files DIR [KEEP...]: the installed tree under the Windows directory
# DIR (ending in "\") has the payload's files, bytes, times and attributes,
# and nothing else but uninstall.list and the names KEEP (the user's).
check_files() {
  local win="$1" u
  u="$(unix_of "$win")"
  if [ -z "${QMK_E2E_PAYLOAD:-}" ] || [ ! -d "$QMK_E2E_PAYLOAD" ]; then
    fail "no payload directory to compare with (QMK_E2E_PAYLOAD='${QMK_E2E_PAYLOAD:-}'; a ready payload archive cannot be compared)"
    return
  fi
  local epoch bad=0 kind rel src dst steps=()
  epoch="$(payload_epoch)"
  while read -r kind rel; do
    src="$QMK_E2E_PAYLOAD/${rel//\\//}"
    dst="$u/${rel//\\//}"
    if [ "$kind" = d ]; then
      [ -d "$dst" ] || { fail "directory $win$rel missing"; bad=1; }
      continue
    fi
    if [ ! -f "$dst" ]; then
      fail "file $win$rel missing"; bad=1; continue
    fi
    cmp -s "$src" "$dst" || { fail "file $win$rel differs from $src"; bad=1; }
    local want got
    want="$(stat -c %Y "$src")"
    if [ -n "$epoch" ] && [ "$want" -gt "$epoch" ]; then want="$epoch"; fi
    got="$(stat -c %Y "$dst")"
    if [ $((got - want)) -gt 2 ] || [ $((want - got)) -gt 2 ]; then
      fail "file $win$rel: time $(date -d "@$got" '+%F %T') is not within 2 s of $(date -d "@$want" '+%F %T')"
      bad=1
    fi
    steps+=(attrs "$win$rel")
  done < <(payload_entries "$QMK_E2E_PAYLOAD")
  [ "$bad" = 0 ] && ok "every payload file installed under $win with its bytes and time"
  # Attributes through the system: read-only exactly where the source is.
  local out="$STATE/work/attrs.txt" a path
  drv "$out" "${steps[@]}" >/dev/null
  bad=0
  while read -r kind rel; do
    [ "$kind" = f ] || continue
    a="$(grep -m1 -F " $win$rel" "$out" | tr -d '\r' | cut -d' ' -f2)"
    local want=0x00000020
    if [ -z "$(find "$QMK_E2E_PAYLOAD/${rel//\\//}" -perm -u+w)" ]; then want=0x00000021; fi
    if [ "$a" != "$want" ]; then fail "file $win$rel: attributes $a, expected $want"; bad=1; fi
  done < <(payload_entries "$QMK_E2E_PAYLOAD")
  [ "$bad" = 0 ] && ok "every installed file has the archive's attributes"
  # Nothing else in the installation directory.
  local extra keep=" uninstall.list ${*:2} "
  extra="$(cd "$u" && find . -mindepth 1 -printf '%P\n' | while IFS= read -r p; do
    [[ "$keep" == *" $p "* ]] && continue
    [ -e "$QMK_E2E_PAYLOAD/$p" ] || echo "$p"
  done)"
  [ -z "$extra" ] && ok "nothing but the payload and uninstall.list under $win" || fail "unexpected items under $win: $extra"
}

# expected_log OUT DIR ROOTLINE [reinstall]: the install log a run into DIR
# (ending in "\") must write, its first line given; with "reinstall" the
# payload's directories already exist and get no lines of their own.
expected_log() {
  local out="$1" win="$2" root="$3" again="${4:-}" nomenu="${5:-}" kind rel
  local base="${win%\\}"
  {
    [ -n "$root" ] && printf '%s\r\n' "$root"
    while read -r kind rel; do
      if [ "$kind" = d ]; then
        [ -n "$again" ] || printf 'mkd: %s ::: %s\r\n' "$base" "$rel"
      else
        printf '%s\\%s\r\n' "$base" "$rel"
      fi
    done < <(payload_entries "$QMK_E2E_PAYLOAD")
    if [ -z "$nomenu" ]; then
      printf 'mkd: %s ::: Quellmark\r\n' "$PROGRAMS"
      local l
      for l in Quellmark.lnk 'ReadMe(eng).lnk' 'ReadMe(rus).lnk' Uninstall.lnk; do
        printf '%s\\Quellmark\\%s\r\n' "$PROGRAMS" "$l"
      done
    fi
    printf 'reg: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ ::: QMK\r\n'
  } >"$out"
}

check_log() {
  local win="$1" root="$2" again="${3:-}" nomenu="${4:-}" exp="$STATE/work/expected.list" act
  act="$(unix_of "${win}uninstall.list")"
  expected_log "$exp" "$win" "$root" "$again" "$nomenu"
  if [ ! -f "$act" ]; then fail "no ${win}uninstall.list"; return; fi
  check_file_eq "uninstall.list line for line" "$exp" "$act"
}

# One field of lnkinfo's report ("Local path", "Working directory" ...).
lnk_field() {
  lnkinfo "$1" 2>/dev/null | tr -d '\r' | sed -n "s/^\t$2\t*: \{0,1\}//p" | head -1
}

# check_links DIR SHORT: the four shortcuts, read with lnkinfo.
check_links() {
  local win="$1" short="$2" dir f
  dir="$(unix_of "$PROGRAMS\\Quellmark")"
  local long_t="${win}qmk.exe"
  # name | target | working directory | arguments | icon index | icon location
  local rows=(
    "Quellmark.lnk|$long_t|${win%\\}||0|"
    "ReadMe(eng).lnk|${short}readme.txt|${short%\\}||0|"
    "ReadMe(rus).lnk|${short}readme.rus.txt|${short%\\}||0|"
    "Uninstall.lnk|${short}qmk.exe|${short%\\}|-uninstall|2|${short}qmk.exe"
  )
  local row name target wd args icon iconloc
  for row in "${rows[@]}"; do
    IFS='|' read -r name target wd args icon iconloc <<<"$row"
    f="$dir/$name"
    if [ ! -f "$f" ]; then fail "shortcut $name missing in $PROGRAMS\\Quellmark"; continue; fi
    if ! lnkinfo "$f" >/dev/null 2>&1; then fail "lnkinfo cannot read $name"; continue; fi
    check_eq "$name: target" "$target" "$(lnk_field "$f" 'Local path')"
    check_eq "$name: working directory" "$wd" "$(lnk_field "$f" 'Working directory')"
    check_eq "$name: arguments" "$args" "$(lnk_field "$f" 'Command line arguments')"
    check_eq "$name: icon index" "$icon" "$(lnk_field "$f" 'Icon index')"
    check_eq "$name: icon location" "$iconloc" "$(lnk_field "$f" 'Icon location')"
    check_eq "$name: description" "" "$(lnk_field "$f" 'Description')"
  done
  local others
  others="$(find "$dir" -mindepth 1 -printf '%f\n' | grep -v -x -e Quellmark.lnk -e 'ReadMe(eng).lnk' -e 'ReadMe(rus).lnk' -e Uninstall.lnk)"
  [ -z "$others" ] && ok "nothing else in the Start-menu folder" || fail "unexpected in the Start-menu folder: $others"
}

# check_registry SHORT: the uninstall key holds exactly the two values,
# read back by the system with their types and sizes.
check_registry() {
  local short="$1" out="$STATE/work/reg.txt"
  local cmd="${short}qmk.exe -uninstall"
  wine "$QMK_E2E_DRIVER" reg-dump "$UNINSTALL_KEY" >"$out" 2>/dev/null
  tr -d '\r' <"$out" | grep '^regvalue' | LC_ALL=C sort >"$out.values"
  printf '%s\n' "regvalue name=DisplayName type=REG_SZ size=10 data=Quellmark<00>" \
    "regvalue name=UninstallString type=REG_SZ size=$((${#cmd} + 1)) data=$cmd<00>" | LC_ALL=C sort >"$out.expected"
  check_file_eq "uninstall key: values, types and sizes" "$out.expected" "$out.values"
}

# The short form of an existing Windows path, as the system gives it.
short_of() {
  local out="$STATE/work/short.txt"
  wine "$QMK_E2E_DRIVER" shortpath "$1" >"$out" 2>/dev/null
  tr -d '\r' <"$out" | sed -n 's/^shortpath //p'
}

# check_installed DIR ROOTLINE [reinstall]: everything a successful
# installation into DIR leaves.
check_installed() {
  local win="$1" short
  short="$(short_of "$win")"
  [ -n "$short" ] && [ "$short" != "<none>" ] || fail "no short form of $win"
  echo "short form of $win: $short"
  check_files "$win"
  check_log "$win" "$2" "${3:-}"
  check_links "$win" "$short"
  check_registry "$short"
}

# check_msgbox OUT CAPTION TEXT ICON [N]: the Nth message box (default the
# first) read in the driver output OUT. Line breaks in the text are compared
# as "|", whether the box has CR LF or LF, and empty lines are dropped.
check_msgbox() {
  local out="$1" n="${5:-1}" text
  text="$(nth "$out" 'msgbox-text text=' "$n" | sed 's/<0D>//g; s/<0A>/\n/g' | grep -v '^$' | paste -sd'|')"
  check_eq "message $n: caption" "$2" "$(nth "$out" 'msgbox caption=' "$n")"
  check_eq "message $n: text" "$3" "$text"
  check_eq "message $n: icon" "$4" "$(nth "$out" 'msgbox-icon kind=' "$n" | sed 's/ .*//')"
}

check_exit() {
  check_eq "exit code" "$2" "$(exit_code_of "$1")"
}

# --- main --------------------------------------------------------------------

run_scenario() {
  local name="$1"
  # shellcheck source=scenarios.sh
  source "$here/scenarios.sh"
  if ! declare -F "scenario_$name" >/dev/null; then
    echo "no scenario $name"; return 2
  fi
  load_state
  rm -rf "$STATE/work"
  mkdir -p "$STATE/work"
  # One wineserver for the whole scenario: it keeps what only lives in it
  # (a key's access rules are not saved with the registry), and no program
  # pays for its start.
  wineserver -p
  reset_state
  echo "=== scenario $name"
  "scenario_$name"
  # Whatever the scenario left running in the prefix ends with it.
  wineserver -k 2>/dev/null || true
  if [ "$failures" = 0 ]; then
    echo "=== $name: passed"
  else
    echo "=== $name: $failures check(s) failed"
    return 1
  fi
}

# Two test runs over one build tree take turns, scenario by scenario; a run
# that finds the display gone (another run's teardown) starts it again. The
# lock is held by flock itself (-o), so that Xvfb and Wine's processes,
# which outlive a step, do not inherit it.
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
  *) sed -n '2,12p' "$0"; exit 2 ;;
esac

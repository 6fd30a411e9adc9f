# scenarios.sh - the end-to-end scenarios, sourced by e2e.sh: scenario_NAME is
# the test e2e.NAME, run from a reset prefix with the installer in C:\e2e\dl.
# shellcheck shell=bash

SETUP_TITLE='Installing Quellmark 3'
INCOMPLETE='Quellmark was not installed completely.'
IN_USE_TEXT='is in use or read-only. Close Quellmark and run the installer again.'
NO_LOG_TEXT='The install log uninstall.list could not be written, so the uninstaller cannot remove everything. Free some space and run the installer again.'
SHORTCUTS_TEXT='The Start-menu shortcuts could not all be created; a shortcut is made only for a file that was installed.'
NO_KEY_TEXT='No uninstall entry was registered, as qmk.exe was not installed.'
DAMAGED_TEXT='The installer is damaged and cannot install Quellmark. Please obtain a new copy.'
FULL_PATH_TEXT='Please enter the full path of the installation directory, for example C:\Program files\QMK\'
ROOT_LINE='mkd: C:\Program files\ ::: QMK'

# Enter on the focused OK (or a click), then the message read and closed.
confirm_and_finish=(key enter wait-window '#32770' '*' windows msgbox key enter wait-exit)
click_ok_and_finish=(click '&OK' wait-window '#32770' '*' windows msgbox key enter wait-exit)

# gui OUT STEP...: the installer started, the steps once its window (by its full title) shows.
gui() {
  local out="$1"
  shift
  drv "$out" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" "$@"
}

# incomplete TEXT: OK in the window, the faults put back, the warning
# "$INCOMPLETE|TEXT" and exit 1.
incomplete() {
  gui "$W/run.txt" "${confirm_and_finish[@]}"
  restore_faults
  check_msgbox "$W/run.txt" Quellmark "$INCOMPLETE|$1" warning
  check_exit "$W/run.txt" 1
}

# The window as drawn (controls, the proposal, the focus on OK, the background;
# a screenshot for docs/ taken while the driver waits), then Enter installs.
scenario_setup_window_then_enter() {
  rm -f "$STATE/setup-window.png"
  gui "$W/run.txt" dump client-pixel 3 115 wait-file 'C:\e2e\shot-taken' "${confirm_and_finish[@]}" &
  local pid=$! geo px colours
  for _ in $(seq $((300 * ${QMK_E2E_TIMEOUT_SCALE:-1}))); do
    grep -q '^pixel ' "$W/run.txt" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  geo="$(grep -m1 '^win 0 ' "$W/run.txt" | sed -n 's/.* x=\([0-9-]*\) y=\([0-9-]*\) w=\([0-9]*\) h=\([0-9]*\) .*/\3x\4+\1+\2/p')"
  [ -n "$geo" ] && import -display "$DISPLAY" -window root -crop "$geo" +repage "$STATE/setup-window.png" ||
    fail "no screenshot of the setup window"
  touch "$C/e2e/shot-taken"
  wait "$pid"
  grep -v '^#' "$here/expected/setup-window.txt" >"$W/layout.expected"
  tr -d '\r' <"$W/run.txt" | grep '^win ' >"$W/layout.txt"
  check_file_eq "setup window and controls: classes, texts, styles, positions, sizes, focus on OK" \
    "$W/layout.expected" "$W/layout.txt"
  # The class's brush is COLOR_MENU + 1; this prefix makes it differ from the window colour.
  px="$(nth "$W/run.txt" 'pixel ')"
  [[ "$px" =~ rgb=(.*)\ menu=(.*)\ window=(.*) ]] && [ "${BASH_REMATCH[2]}" != "${BASH_REMATCH[3]}" ] ||
    fail "the menu and window colours cannot be told apart: $px"
  check_eq "background is the menu colour" "${BASH_REMATCH[2]}" "${BASH_REMATCH[1]}"
  check_eq "screenshot size" "500x185" "$(identify -format '%wx%h' "$STATE/setup-window.png" 2>/dev/null)"
  colours="$(identify -format '%k' "$STATE/setup-window.png" 2>/dev/null)"
  check "the screenshot shows a drawn window (${colours:-0} colours)" [ "${colours:-0}" -gt 8 ]
  check_eq "only the completion message is shown at the end" "class=#32770 text=Information" "$(tops "$W/run.txt")"
  check_msgbox "$W/run.txt" Information "$COMPLETE_TEXT" information
  check_exit "$W/run.txt" 0
  check_installed "$PROPOSAL" "$ROOT_LINE"
}

# Two Tabs reach the field, its text selected; two more reach OK. No leaf is added.
scenario_typed_directory() {
  local dir='C:\e2e\Typed Dir'
  gui "$W/run.txt" key tab key tab focus type "$dir" field key tab key tab focus "${confirm_and_finish[@]}"
  check_eq "focus in the field, then on OK" "class=Edit|$dir|class=Button text=&OK" \
    "$(nth "$W/run.txt" 'focus ' 1 | sed 's/ text=.*//')|$(nth "$W/run.txt" 'field text=')|$(nth "$W/run.txt" 'focus ' 2)"
  check_msgbox "$W/run.txt" Information "$COMPLETE_TEXT" information
  check_exit "$W/run.txt" 0
  check "no product leaf appended" [ ! -e "$C/e2e/Typed Dir/QMK" ]
  check_installed "$dir\\" 'mkd: C:\e2e\ ::: Typed Dir'
}

# Browse and OK twice: the browser starts at the deepest folder that exists, in
# its spelling, and OK adds the leaf once; the focus is back on OK after it.
scenario_browse_ok() {
  snapshot "$W/before"
  local want finish=(click '&Cancel' wait-exit)
  for want in 'C:\Program Files\QMK\' 'C:\Program Files\QMK\QMK\'; do
    gui "$W/run.txt" click '&Browse' wait-window '#32770' Browser text-of 0x3743 click-id 1 \
      wait-window EnterPathWndClass "$SETUP_TITLE" field \
      click '&Browse' wait-window '#32770' Browser text-of 0x3743 click-id 1 \
      wait-window EnterPathWndClass "$SETUP_TITLE" field focus "${finish[@]}"
    check_eq "browser status, field, both times; then the focus" "$want|$want|$want|$want|class=Button text=&OK" \
      "$(nth "$W/run.txt" 'text ' 1)|$(nth "$W/run.txt" 'field text=' 1)|$(nth "$W/run.txt" 'text ' 2)|$(
        nth "$W/run.txt" 'field text=' 2)|$(nth "$W/run.txt" 'focus ')"
    check_exit "$W/run.txt" 0
    [ "$want" != 'C:\Program Files\QMK\' ] || check_nothing_written "browse, OK, cancel" "$W/before"
    mkdir -p "$(unix_of 'C:\Program files')/QMK"
    finish=("${confirm_and_finish[@]}")
  done
  check_msgbox "$W/run.txt" Information "$COMPLETE_TEXT" information
  check_files 'C:\Program Files\QMK\QMK\'
}

# Leaving installs nothing: Browse and Cancel, then Cancel; Tab and Space (no
# button is the default once Tab moved the focus); the close box; Escape and
# Enter in the field do nothing.
scenario_leaving_installs_nothing() {
  snapshot "$W/before"
  gui "$W/browse.txt" key tab key tab type 'C:\e2e\typed' field click '&Browse' wait-window '#32770' Browser windows \
    text-of 0x3742 text-of 0x3743 click-id 2 wait-window EnterPathWndClass "$SETUP_TITLE" field click '&Cancel' wait-exit
  check_eq "typed text; only the browser shown while browsing; its title and status; the field after its Cancel" \
    "C:\\e2e\\typed|class=#32770 text=Browser|Select directory for installation .|C:\\Program Files\\QMK\\|$PROPOSAL" \
    "$(nth "$W/browse.txt" 'field text=' 1)|$(tops "$W/browse.txt")|$(nth "$W/browse.txt" 'text ' 1)|$(
      nth "$W/browse.txt" 'text ' 2)|$(nth "$W/browse.txt" 'field text=' 2)"
  gui "$W/cancel.txt" key tab focus key space wait-exit
  check_eq "Tab moves to Cancel" "class=Button text=&Cancel" "$(nth "$W/cancel.txt" 'focus ')"
  gui "$W/close.txt" close wait-exit
  gui "$W/keys.txt" key escape windows key tab key tab key enter windows field click '&Cancel' wait-exit
  check_eq "after Escape and Enter in the field only the setup window is shown, the field unchanged" \
    "class=EnterPathWndClass text=$SETUP_TITLE|class=EnterPathWndClass text=$SETUP_TITLE|$PROPOSAL" \
    "$(tops "$W/keys.txt")|$(nth "$W/keys.txt" 'field text=')"
  local r
  for r in browse cancel close keys; do check_exit "$W/$r.txt" 0; done
  check_nothing_written "browse and cancel, Cancel, close box, Escape" "$W/before"
}

# uninstaller PROGRAM ARGS...: report lines joined by "|", and the exit code;
# reading to the end waits for the copy it hands its work to.
uninstaller() {
  local out
  out="$(cd "$C" && wine "$@" 2>/dev/null | tr -d '\r' | paste -sd'|'; echo "exit ${PIPESTATUS[0]}")"
  echo "${out//$'\n'/ }"
}

# uninstall_clean BEFORE WHAT: the uninstaller succeeds and leaves the snapshot BEFORE.
uninstall_clean() {
  check_eq "uninstaller report and exit code" "result: 0 exit 0" "$(uninstaller "${PROPOSAL}qmk.exe" -uninstall /S)"
  check_nothing_written "$2" "$1"
}

# silent_refused ARGS: started with ARGS (holding /S), no window, exit 2.
silent_refused() {
  drv "$W/silent.txt" start "$INSTALLER" "$1" watch-exit
  check_eq "$1: no window shown, exit code" "|2" "$(grep '^seen-window' "$W/silent.txt")|$(nth "$W/silent.txt" 'exit code=')"
}

# /S anywhere, /D= quoted whole, in its value or not at all: no window, all installed.
scenario_silent_install() {
  local line dir root
  while IFS=$'\t' read -r -u 3 line dir root; do
    reset_state
    drv "$W/run.txt" start "$INSTALLER" "$line" watch-exit
    check_eq "$line: no window shown, exit code" "|0" "$(grep '^seen-window' "$W/run.txt")|$(nth "$W/run.txt" 'exit code=')"
    check_installed "$dir" "$root"
  done 3<<'TABLE'
/S	C:\Program files\QMK\	mkd: C:\Program files\ ::: QMK
/S /D=C:\e2e\My Apps\Q M K	C:\e2e\My Apps\Q M K\	mkd: C:\e2e\ ::: My Apps\Q M K
"/D=C:\e2e\Q Dir\QMK" /S	C:\e2e\Q Dir\QMK\	mkd: C:\e2e\ ::: Q Dir\QMK
/S /D="C:\e2e\Quoted Dir\QMK"	C:\e2e\Quoted Dir\QMK\	mkd: C:\e2e\ ::: Quoted Dir\QMK
/D=C:\e2e\Last\QMK /S	C:\e2e\Last\QMK\	mkd: C:\e2e\ ::: Last\QMK
TABLE
}

scenario_unknown_switch() {
  snapshot "$W/before"
  drv "$W/run.txt" start "$INSTALLER" "/X" wait-window '#32770' '*' windows msgbox key enter wait-exit
  check_eq "only the usage message is shown" "class=#32770 text=Quellmark" "$(tops "$W/run.txt")"
  check_exit "$W/run.txt" 2
  silent_refused "/S /X"
  check_nothing_written "unknown switch" "$W/before"
}

# damaged WHERE [INSTALLER]: with the payload's byte WHERE ("mid") changed, only
# the damage message, exit 2 and nothing written, with and without /S.
damaged() {
  python3 - "${2:-$QMK_E2E_SETUP}" "$C/e2e/dl/QuellmarkSetup.exe" "$1" "$QMK_E2E_ACE" <<'PY' || fail "no damaged copy"
import sys
src, dst, where, ace = sys.argv[1:]
f, payload = bytearray(open(src, "rb").read()), open(ace, "rb").read()
assert f.find(payload) > 0, "the payload is not in the installer"
f[f.find(payload) + (len(payload) // 2 if where == "mid" else int(where))] ^= 0x5A
open(dst, "wb").write(f)
PY
  snapshot "$W/before"
  drv "$W/run.txt" start "$INSTALLER" "" wait-window '#32770' '*' windows msgbox key enter wait-exit
  check_eq "only the message is shown, no setup window" "class=#32770 text=Quellmark" "$(tops "$W/run.txt")"
  check_msgbox "$W/run.txt" Quellmark "$DAMAGED_TEXT" error
  check_exit "$W/run.txt" 2
  silent_refused "/S"
  check_nothing_written "damaged payload" "$W/before"
}

scenario_damaged_payload_data() { damaged mid; }
scenario_damaged_payload_header() { damaged 4; }

# Signed after setup, it installs; with a payload byte changed it refuses.
scenario_signed_installer() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$W/key.pem" -out "$W/cert.pem" -days 30 \
    -subj "/CN=Quellmark Release Test" >/dev/null 2>&1 &&
    osslsigncode sign -certs "$W/cert.pem" -key "$W/key.pem" -n "Quellmark Setup" -h sha256 \
      -in "$QMK_E2E_SETUP" -out "$W/signed.exe" >/dev/null || { fail "cannot sign the installer"; return; }
  place_installer "$W/signed.exe"
  drv "$W/run.txt" start "$INSTALLER" "/S" watch-exit
  check_exit "$W/run.txt" 0
  check_installed "$PROPOSAL" "$ROOT_LINE"
  reset_state
  damaged mid "$W/signed.exe"
}

# qmkpack.exe makes the build's installer from the stub and the payload folder.
scenario_setup_by_hand_on_windows() {
  [ -n "$QMK_E2E_PAYLOAD" ] || { ok "the payload was given as an archive: no folder to pack"; return; }
  SOURCE_DATE_EPOCH="$(payload_epoch)" wine "$QMK_E2E_QMKPACK" setup -q --stub "$(z_path "$QMK_E2E_STUB")" \
    'C:\e2e\hand.exe' "$(z_path "$QMK_E2E_PAYLOAD")" >"$W/setup.txt" 2>&1
  check_eq "qmkpack.exe setup: exit status and messages" "0:" "$?:$(tr -d '\r' <"$W/setup.txt")"
  check "the installer made by hand is the build's" cmp -s "$C/e2e/hand.exe" "$QMK_E2E_SETUP"
}

# A read-only read-me in the way (immutable: Wine lets root write) is kept and
# not claimed; the later steps still run.
scenario_readonly_file_in_the_way() {
  local f
  f="$(unix_of 'C:\Program files')/QMK/readme.txt"
  mkdir -p "${f%/*}"
  echo "an older read-me, read-only" >"$f"
  chmod a-w "$f"
  make_immutable "$f" || { fail "cannot make $f immutable"; return; }
  incomplete "${PROPOSAL}readme.txt $IN_USE_TEXT (error 18)"
  check_eq "the read-only file is untouched" "an older read-me, read-only" "$(cat "$f")"
  check_eq "the user's file is not claimed by the log" "" "$(grep -F "${PROPOSAL}readme.txt" "$(unix_of "${PROPOSAL}uninstall.list")")"
  check_links "$PROPOSAL" "$(short_of "$PROPOSAL")"
  check_registry "$(short_of "$PROPOSAL")"
}

# The uninstall parent key only readable, as for a user who is no administrator:
# every other step runs, and the log still names the key last.
scenario_hklm_denied() {
  touch "$STATE/uninstall-key.denied"
  drv "$W/deny.txt" reg-deny "${UNINSTALL_KEY%\\QMK}"
  check_eq "the parent key cannot be opened with all access" "5" "$(nth "$W/deny.txt" 'reg-rules ' | sed 's/.*all-access-open=//')"
  incomplete "The uninstall entry could not be registered. Run the installer as an administrator."
  check "no uninstall key" no_key
  check_files "$PROPOSAL"
  check_log "$PROPOSAL" "$ROOT_LINE"
  check_links "$PROPOSAL" "$(short_of "$PROPOSAL")"
}

# No Programs folder the shell can resolve: nothing of the Start menu, no lines for it.
scenario_no_programs_folder() {
  local programs
  programs="$(unix_of "$PROGRAMS")"
  mv "$programs" "$programs.e2e-moved" || { fail "cannot move $programs away"; return; }
  drv "$W/folders.txt" programs-folder
  check_eq "the shell finds no Programs folder" "" "$(nth "$W/folders.txt" 'programs-folder' | sed 's/^ //')"
  snapshot "$W/before"
  incomplete "$SHORTCUTS_TEXT"
  check_eq "no Start-menu folder or shortcut created anywhere" "" \
    "$(cd "$C" && find . \( -iname Quellmark -o -iname '*.lnk' \) -newer "$W/before" -printf '%P\n')"
  check_files "$PROPOSAL"
  check_log "$PROPOSAL" "$ROOT_LINE" no-start-menu
  check_registry "$(short_of "$PROPOSAL")"
}

# DLLs planted beside the installer under system names: a control program shows
# which this Wine would load from there; the installer loads none of them.
scenario_planted_dll_not_loaded() {
  local dl="$C/e2e/dl" n plantable=() names=(dwmapi.dll propsys.dll profapi.dll uxtheme.dll comctl32.dll version.dll shfolder.dll)
  for n in "${names[@]}"; do cp "$QMK_E2E_PLANTED" "$dl/$n"; done
  cp "$QMK_E2E_LOADLIB" "$dl/control.exe"
  (cd "$C" && wine 'C:\e2e\dl\control.exe' "${names[@]}" 2>/dev/null | sed 's/^/    control | /')
  for n in "${names[@]}"; do [ ! -f "$dl/$n.loaded" ] || plantable+=("$n"); done
  [ "${#plantable[@]}" -gt 0 ] || { fail "the control loads no planted name: the check below could not fail"; return; }
  ok "the control program loads the planted ${plantable[*]}"
  rm -f "$dl"/*.loaded
  WINEDEBUG=+loaddll,+pid gui "$W/run.txt" click '&Browse' wait-window '#32770' Browser click-id 2 \
    wait-window EnterPathWndClass "$SETUP_TITLE" "${click_ok_and_finish[@]}"
  check_exit "$W/run.txt" 0
  check_eq "no planted DLL ran in the installer" "" "$(cd "$dl" && ls -- *.loaded 2>/dev/null)"
  # Wine's record of each DLL the installer's process loaded, and from where.
  local pid loads
  pid="$(printf '%04x' "$(nth "$W/run.txt" 'started pid=' | sed 's/ .*//')")"
  loads="$(grep -a "^$pid:" "$W/run.txt.stderr" | sed -n 's/.*Loaded L"\([^"]*\)".*: \(.*\)/\1 \2/p' | sed 's/\\\\/\\/g')"
  echo "$loads" | sed 's/^/    loaded | /'
  [ -n "$loads" ] || fail "no record of the installer's DLL loads"
  check_eq "no DLL of the installer's own folder loaded as a native DLL" "" \
    "$(echo "$loads" | grep -i '^C:\\e2e\\dl\\' | grep -iv '^C:\\e2e\\dl\\QuellmarkSetup.exe ' | grep ' native$')"
}

# An installation directory nothing may be written into: every step fails, all reported.
scenario_readonly_install_directory() {
  local u
  u="$(unix_of 'C:\Program files')/QMK"
  mkdir -p "$u"
  echo "a file of the user's" >"$u/notes.txt"
  make_immutable "$u" || { fail "cannot make $u immutable"; return; }
  if (: >"$u/probe") 2>/dev/null; then
    fail "$u takes new files although immutable: the check below could not fail"
    return
  fi
  snapshot "$W/before"
  incomplete "${PROPOSAL}Plugins\\qmkcsv.dll $IN_USE_TEXT (error 18)|$NO_LOG_TEXT|$SHORTCUTS_TEXT|$NO_KEY_TEXT"
  check_eq "the user's file is untouched" "a file of the user's" "$(cat "$u/notes.txt")"
  check_nothing_written "an installation directory nothing may be written into" "$W/before"
}

# Directories the installation would fail in are refused at OK with the reason,
# the text kept and the focus in the field; with /S, exit 2. Nothing is written.
scenario_refused_directories() {
  echo "the user's" >"$C/e2e/file.txt"
  # The longest path made, the directory and the longest entry name, fits 259 characters.
  local longest=14 rel n long='C:\e2e\' far='C:\'
  while read -r _ rel; do [ "${#rel}" -le "$longest" ] || longest=${#rel}; done < <(payload_entries "$QMK_E2E_PAYLOAD")
  n=$((258 - longest))
  while [ "${#long}" -le "$n" ]; do long="${long}a"; done
  while [ "${#far}" -lt 300 ]; do far="${far}abcdefghi\\"; done
  local dirs=() texts=() dir reason steps=() no_char="a name in it holds a character that Windows does not allow"
  while IFS=';' read -r dir reason; do
    dirs+=("$dir")
    [ "$reason" = full ] && texts+=("$FULL_PATH_TEXT") ||
      texts+=("Quellmark cannot be installed into this directory: $reason.|Please choose another directory.")
    steps+=(set-text "$dir" click '&OK' wait-window '#32770' Quellmark msgbox key enter wait-gone
      wait-window EnterPathWndClass "$SETUP_TITLE" field focus)
  done <<TABLE
;full
QMK\\sub\\;full
C:QMK\\;full
$far;full
${FAULT_DRIVE^^}:\\QMK;its drive or network share does not exist
\\\\e2e-nohost\\share\\QMK;its drive or network share does not exist
C:\\e2e\\a<b\\QMK;$no_char
C:\\e2e\\a|b;$no_char
C:\\e2e\\a"b;$no_char
C:\\e2e\\a*b\\QMK;$no_char
C:\\e2e\\a?b;$no_char
C:\\e2e\\trail dots...;a name in it ends with a dot or a space
C:\\e2e\\space \\QMK;a name in it ends with a dot or a space
C:\\e2e\\file.txt\\QMK;a file stands where one of its directories must be
$long;it is too long: at most $n characters fit
TABLE
  snapshot "$W/before"
  gui "$W/run.txt" "${steps[@]}" click '&Cancel' wait-exit
  local i
  for i in "${!dirs[@]}"; do
    check_msgbox "$W/run.txt" Quellmark "${texts[$i]}" warning $((i + 1))
    check_eq "the text as typed, the focus in the field: ${dirs[$i]}" "${dirs[$i]}|class=Edit" \
      "$(nth "$W/run.txt" 'field text=' $((i + 1)))|$(nth "$W/run.txt" 'focus ' $((i + 1)) | sed 's/ text=.*//')"
    [ -z "${dirs[$i]}" ] || silent_refused "/S /D=${dirs[$i]}"
  done
  check_exit "$W/run.txt" 0
  check_nothing_written "refused directories, in the window and with /S" "$W/before"
}

# A reinstall adds only its root line to the log. One while qmk.exe runs names
# it, exit 1; once it is closed another completes; the uninstaller clears up.
scenario_reinstalls() {
  snapshot "$W/before"
  gui "$W/first.txt" "${confirm_and_finish[@]}"
  gui "$W/second.txt" "${confirm_and_finish[@]}"
  check_msgbox "$W/second.txt" Information "$COMPLETE_TEXT" information
  check_eq "exit codes" "0 0" "$(nth "$W/first.txt" 'exit code=') $(nth "$W/second.txt" 'exit code=')"
  check_files "$PROPOSAL"
  expected_log "$W/expected.list" "$PROPOSAL" "$ROOT_LINE"
  printf '%s\r\n' 'mkd: C:\Program files\QMK\ :::' >>"$W/expected.list"
  check_file_eq "uninstall.list: the first run's lines, then the second's root line" "$W/expected.list" \
    "$(unix_of "${PROPOSAL}uninstall.list")"
  check_links "$PROPOSAL" "$(short_of "$PROPOSAL")"
  check_registry "$(short_of "$PROPOSAL")"
  local u product i
  u="$(unix_of "$PROPOSAL")"
  echo "the user's notes" >"$u/notes.txt"
  (cd "$u" && wine "${PROPOSAL}qmk.exe" >/dev/null 2>&1) &
  product=$!
  for i in $(seq 60); do
    xdotool search --name '^Quellmark$' >/dev/null 2>&1 && break
    sleep 1
  done
  incomplete "${PROPOSAL}qmk.exe $IN_USE_TEXT (error 18)"
  # Closed as a user would; ended if it does not go.
  xdotool search --name '^Quellmark$' windowclose >/dev/null 2>&1
  for i in $(seq 30); do kill -0 "$product" 2>/dev/null && sleep 1; done
  pkill -f 'qmk\.exe$' 2>/dev/null
  wait "$product" 2>/dev/null
  drv "$W/again.txt" start "$INSTALLER" "/S" watch-exit
  check_exit "$W/again.txt" 0
  check_files "$PROPOSAL" notes.txt
  rm -f "$u/notes.txt"
  uninstall_clean "$W/before" "install, reinstall, reinstall while running, reinstall, uninstall"
}

# A drive (a tmpfs) with room for the files before qmk.exe and the log, not for qmk.exe.
scenario_full_drive() {
  local m="$STATE/fault-drive" dir="${FAULT_DRIVE^^}:\\QMK\\" room=8192 before f u
  before="$(payload_entries "$QMK_E2E_PAYLOAD" | sed -n '/^f qmk\.exe$/q; s/^f //p' | tr '\\' / | LC_ALL=C sort)"
  mkdir -p "$m"
  mount -t tmpfs -o size=1m,mode=0755 e2e-full "$m" || { fail "cannot mount a small tmpfs on $m"; return; }
  while IFS= read -r f; do room=$((room + ($(stat -c %s "$QMK_E2E_PAYLOAD/$f") + 4095) / 4096 * 4096)); done <<<"$before"
  [ "$(stat -c %s "$QMK_E2E_PAYLOAD/qmk.exe")" -gt 8192 ] || { fail "qmk.exe is too small for this scenario"; return; }
  dd if=/dev/zero of="$m/filler" bs=4096 count=$((($(stat -f -c '%a * %S' "$m") - room) / 4096)) status=none
  ln -sfn "$m" "$PREFIX/dosdevices/$FAULT_DRIVE:"
  snapshot "$W/before"
  gui "$W/run.txt" set-text "$dir" field "${click_ok_and_finish[@]}"
  check_msgbox "$W/run.txt" Quellmark "$INCOMPLETE|${dir}qmk.exe could not be written in full: the disk is full. \
Free some space and run the installer again. (error 7)|$SHORTCUTS_TEXT|$NO_KEY_TEXT" warning
  check_exit "$W/run.txt" 1
  u="$(unix_of "$dir")"
  check_eq "the files before qmk.exe whole, none from it on" "$before" "$(cd "$u" && find . -type f ! -name uninstall.list \
    -printf '%P\n' | LC_ALL=C sort | while IFS= read -r f; do cmp -s "$f" "$QMK_E2E_PAYLOAD/$f" && echo "$f"; done)"
  # The log names the payload up to qmk.exe, whose creation failed.
  expected_log "$W/expected.list" "$dir" "mkd: ${FAULT_DRIVE^^}:\\ ::: QMK"
  sed -i "/^${FAULT_DRIVE^^}:\\\\QMK\\\\qmk.exe\r\$/q" "$W/expected.list"
  check_file_eq "uninstall.list: the payload up to qmk.exe" "$W/expected.list" "$u/uninstall.list"
  # The read-mes come after qmk.exe: no shortcut, no key.
  check "no Start-menu folder" no_menu
  check "no uninstall key" no_key
  drv "$W/later.txt" start "$INSTALLER" "/S" watch-exit
  check_exit "$W/later.txt" 0
  uninstall_clean "$W/before" "a later install elsewhere, then its uninstaller"
  restore_faults
}

scenario_programs_folder_readonly() {
  local programs
  programs="$(unix_of "$PROGRAMS")"
  make_immutable "$programs" || { fail "cannot make $programs immutable"; return; }
  if mkdir "$programs/e2e-probe" 2>/dev/null; then
    rmdir "$programs/e2e-probe"
    fail "$programs takes new folders although immutable: the check below could not fail"
    return
  fi
  incomplete "$SHORTCUTS_TEXT"
  check "no Start-menu folder" no_menu
  check_files "$PROPOSAL"
  check_log "$PROPOSAL" "$ROOT_LINE"
  check_registry "$(short_of "$PROPOSAL")"
}

# The uninstaller over an installation the user added to: a read-only file goes,
# a file of the user's keeps its directories, a line reaching outside touches
# nothing; both reported. Without its log it does nothing.
scenario_uninstaller_reports() {
  local dir='C:\e2e\inst dir\QMK\' u p
  drv "$W/run.txt" start "$INSTALLER" "/S /D=${dir%\\}" watch-exit
  check_exit "$W/run.txt" 0
  u="$(unix_of "$dir")"
  echo "the user's" >"$u/Plugins/mine.txt"
  chmod a-w "$u/readme.txt"
  mkdir -p "$C/e2e/victim" "$C/e2e/nolog"
  printf 'mkd: %s ::: ..\\victim\r\n' "${dir%\\}" >>"$u/uninstall.list"
  cp "$QMK_E2E_PAYLOAD/qmk.exe" "$C/e2e/nolog/"
  check_eq "report and exit code" "not understood: mkd: ${dir%\\} ::: ..\\victim|not removed: ${dir}Plugins|\
not removed: ${dir%\\}|not removed: C:\\e2e\\inst dir|result: 1 exit 0" "$(uninstaller "${dir}qmk.exe" -uninstall /S)"
  check_eq "the user's file and the directory outside stay, the read-only file and qmk.exe go" "1100" \
    "$(for p in "$u/Plugins/mine.txt" "$C/e2e/victim" "$u/readme.txt" "$u/qmk.exe"; do [ -e "$p" ] && echo -n 1 || echo -n 0; done)"
  check "no Start-menu folder" no_menu
  check "no uninstall key" no_key
  check_eq "the key's parent stays" "present" \
    "$(wine "$QMK_E2E_DRIVER" reg-dump "${UNINSTALL_KEY%\\QMK}" 2>/dev/null | sed -n 's/^regkey \([a-z]*\).*/\1/p')"
  check_eq "no log: nothing done" "cannot read: C:\\e2e\\nolog\\uninstall.list|result: 2 exit 0|qmk.exe" \
    "$(uninstaller 'C:\e2e\nolog\qmk.exe' -uninstall /S)|$(ls "$C/e2e/nolog")"
  check_eq "a wrong command line" "result: 2 exit 2" "$(uninstaller 'C:\e2e\nolog\qmk.exe' -uninstall /X /S)"
}

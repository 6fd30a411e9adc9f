# scenarios.sh - the installer's end-to-end scenarios, sourced by e2e.sh.
# Each scenario_NAME is the ctest test e2e.NAME, run from a reset prefix with
# the build's installer in C:\e2e\dl. The setup window is waited for by its
# full title, so a wrong caption fails at once.
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

# Enter on the focused OK, then the message that follows read and closed;
# the same with a click on OK, for when the focus is elsewhere.
confirm_and_finish=(key enter wait-window '#32770' '*' windows msgbox key enter wait-exit)
click_ok_and_finish=(click '&OK' wait-window '#32770' '*' windows msgbox key enter wait-exit)

# gui OUT STEP...: the installer started without arguments, then the steps
# once its setup window is shown.
gui() {
  local out="$1"
  shift
  drv "$out" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" "$@"
}

# The window as drawn: its controls, its background colour, and a
# screenshot (docs/setup-window.png, by screenshot.sh) taken while the
# driver waits with the window shown.
scenario_setup_window_layout() {
  rm -f "$STATE/setup-window.png"
  gui "$W/run.txt" dump client-pixel 3 115 wait-file 'C:\e2e\shot-taken' close wait-exit &
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
  # The class's brush is COLOR_MENU + 1: outside every control, the menu
  # colour shows, which this prefix makes differ from the window colour.
  px="$(nth "$W/run.txt" 'pixel ')"
  [[ "$px" =~ rgb=(.*)\ menu=(.*)\ window=(.*) ]] && [ "${BASH_REMATCH[2]}" != "${BASH_REMATCH[3]}" ] ||
    fail "the menu and window colours cannot be told apart: $px"
  check_eq "background is the menu colour" "${BASH_REMATCH[2]}" "${BASH_REMATCH[1]}"
  check_exit "$W/run.txt" 0
  check_eq "screenshot size" "500x185" "$(identify -format '%wx%h' "$STATE/setup-window.png" 2>/dev/null)"
  colours="$(identify -format '%k' "$STATE/setup-window.png" 2>/dev/null)"
  check "the screenshot shows a drawn window (${colours:-0} colours)" [ "${colours:-0}" -gt 8 ]
}

scenario_enter_confirms_proposal() {
  gui "$W/run.txt" field focus "${confirm_and_finish[@]}"
  check_eq "proposed directory" "$PROPOSAL" "$(nth "$W/run.txt" 'field text=')"
  check_eq "OK has the focus" "class=Button text=&OK" "$(nth "$W/run.txt" 'focus ')"
  check_eq "only the completion message is shown at the end" "class=#32770 text=Information" "$(tops "$W/run.txt")"
  check_msgbox "$W/run.txt" Information "$COMPLETE_TEXT" information
  check_exit "$W/run.txt" 0
  check_installed "$PROPOSAL" "$ROOT_LINE"
}

# Tab, Tab: from OK over Cancel into the field, its text selected, so typing
# replaces it; Tab, Tab on to Browse and OK. No product leaf is added.
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

# Browse and OK twice. Without C:\Program files\QMK the browser starts at the
# deepest folder that exists, in the file system's spelling, and OK adds the
# leaf once; Cancel then leaves nothing written. With it, it starts there and
# OK adds the leaf to it; the focus is back on OK, so Enter installs there.
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

# Leaving installs nothing: Cancel in the browser puts back the field, and
# Cancel leaves; Tab to Cancel and Space (once Tab has moved the focus no
# button is the default one); the close box; Escape, and Enter in the field,
# do nothing, then Cancel.
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

# uninstall_clean BEFORE WHAT: qmk.exe -uninstall reports success and leaves
# the machine as the snapshot BEFORE. It hands its work to a copy of itself
# that keeps the standard handles: reading its output to the end waits for it.
uninstall_clean() {
  local report
  report="$(cd "$C" && wine "${PROPOSAL}qmk.exe" -uninstall /S 2>/dev/null | tr -d '\r')"
  echo "$report" | sed 's/^/    uninstaller | /'
  check_eq "uninstaller result" "result: 0" "$(echo "$report" | tail -1)"
  check_nothing_written "$2" "$1"
}

# The second run's log keeps the first run's record whole and adds only its
# root line (the directory existed: it names nothing); then the uninstaller.
scenario_second_install_over_first() {
  snapshot "$W/before"
  gui "$W/first.txt" "${confirm_and_finish[@]}"
  gui "$W/run.txt" "${confirm_and_finish[@]}"
  check_msgbox "$W/run.txt" Information "$COMPLETE_TEXT" information
  check_exit "$W/first.txt" 0
  check_exit "$W/run.txt" 0
  check_files "$PROPOSAL"
  expected_log "$W/expected.list" "$PROPOSAL" "$ROOT_LINE"
  printf '%s\r\n' 'mkd: C:\Program files\QMK\ :::' >>"$W/expected.list"
  check_file_eq "uninstall.list: the first run's lines, then the second's root line" "$W/expected.list" \
    "$(unix_of "${PROPOSAL}uninstall.list")"
  check_links "$PROPOSAL" "$(short_of "$PROPOSAL")"
  check_registry "$(short_of "$PROPOSAL")"
  uninstall_clean "$W/before" "install, reinstall, uninstall"
}

# silent_refused ARGS: started with ARGS (holding /S), no window, exit 2.
silent_refused() {
  drv "$W/silent.txt" start "$INSTALLER" "$1" watch-exit
  check_eq "$1: no window shown, exit code" "|2" "$(grep '^seen-window' "$W/silent.txt")|$(nth "$W/silent.txt" 'exit code=')"
}

# Unattended: /S anywhere, /D= quoted whole or in its value or unquoted to
# the end of the line; no window, and all installed where the line says.
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

# damaged WHERE [INSTALLER]: the installer (the build's unless given) with
# the payload's byte WHERE ("mid": its middle) changed shows only the damage
# message, exits 2 and writes nothing, with and without /S.
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

# Signed with Authenticode (a self-signed certificate) after setup, the
# installer installs; with one payload byte changed it refuses as before.
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

# qmkpack.exe, the archiver built for Windows, makes the build's installer
# from the stub and the payload folder, byte for byte.
scenario_setup_by_hand_on_windows() {
  [ -n "$QMK_E2E_PAYLOAD" ] || { ok "the payload was given as an archive: no folder to pack"; return; }
  SOURCE_DATE_EPOCH="$(payload_epoch)" wine "$QMK_E2E_QMKPACK" setup -q --stub "$(z_path "$QMK_E2E_STUB")" \
    'C:\e2e\hand.exe' "$(z_path "$QMK_E2E_PAYLOAD")" >"$W/setup.txt" 2>&1
  check_eq "qmkpack.exe setup: exit status and messages" "0:" "$?:$(tr -d '\r' <"$W/setup.txt")"
  check "the installer made by hand is the build's" cmp -s "$C/e2e/hand.exe" "$QMK_E2E_SETUP"
}

# An older read-only read-me in the way (immutable too: as root Wine's
# opening for writing goes through to Linux, which lets root write) is kept
# and not claimed by the log; the later steps still run.
scenario_readonly_file_in_the_way() {
  local f
  f="$(unix_of 'C:\Program files')/QMK/readme.txt"
  mkdir -p "${f%/*}"
  echo "an older read-me, read-only" >"$f"
  chmod a-w "$f"
  make_immutable "$f" || { fail "cannot make $f immutable"; return; }
  gui "$W/run.txt" "${confirm_and_finish[@]}"
  restore_faults
  check_msgbox "$W/run.txt" Quellmark "$INCOMPLETE|${PROPOSAL}readme.txt $IN_USE_TEXT (error 18)" warning
  check_exit "$W/run.txt" 1
  check_eq "the read-only file is untouched" "an older read-me, read-only" "$(cat "$f")"
  check_eq "the user's file is not claimed by the log" "" "$(grep -F "${PROPOSAL}readme.txt" "$(unix_of "${PROPOSAL}uninstall.list")")"
  check_links "$PROPOSAL" "$(short_of "$PROPOSAL")"
  check_registry "$(short_of "$PROPOSAL")"
}

# Everyone may read the uninstall parent key but not change it, as for a
# user without administrator rights: every other step runs, and the log
# still names the key last.
scenario_hklm_denied() {
  touch "$STATE/uninstall-key.denied"
  drv "$W/deny.txt" reg-deny "${UNINSTALL_KEY%\\QMK}"
  check_eq "the parent key cannot be opened with all access" "5" "$(nth "$W/deny.txt" 'reg-rules ' | sed 's/.*all-access-open=//')"
  gui "$W/run.txt" "${confirm_and_finish[@]}"
  restore_faults
  check_msgbox "$W/run.txt" Quellmark \
    "$INCOMPLETE|The uninstall entry could not be registered. Run the installer as an administrator." warning
  check_exit "$W/run.txt" 1
  check "no uninstall key" no_key
  check_files "$PROPOSAL"
  check_log "$PROPOSAL" "$ROOT_LINE"
  check_links "$PROPOSAL" "$(short_of "$PROPOSAL")"
}

# Without its folder the shell cannot resolve this user's Programs folder:
# nothing of the Start menu anywhere, and no lines for it.
scenario_no_programs_folder() {
  local programs
  programs="$(unix_of "$PROGRAMS")"
  mv "$programs" "$programs.e2e-moved" || { fail "cannot move $programs away"; return; }
  drv "$W/folders.txt" programs-folder
  check_eq "the shell finds no Programs folder" "" "$(nth "$W/folders.txt" 'programs-folder' | sed 's/^ //')"
  snapshot "$W/before"
  gui "$W/run.txt" "${confirm_and_finish[@]}"
  restore_faults
  check_msgbox "$W/run.txt" Quellmark "$INCOMPLETE|$SHORTCUTS_TEXT" warning
  check_exit "$W/run.txt" 1
  check_eq "no Start-menu folder or shortcut created anywhere" "" \
    "$(cd "$C" && find . \( -iname Quellmark -o -iname '*.lnk' \) -newer "$W/before" -printf '%P\n')"
  check_files "$PROPOSAL"
  check_log "$PROPOSAL" "$ROOT_LINE" "" no-start-menu
  check_registry "$(short_of "$PROPOSAL")"
}

# DLLs under system names planted in the download folder. The control, a
# program loading them by bare name, shows which this Wine would take from
# there (it takes the others from its builtin DLLs); the installer, through
# Browse, the installation and the message, must load none of them.
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

# An existing installation directory nothing may be written into: the first
# file fails (18), the log cannot be created, and with no product file
# nothing points at one.
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
  gui "$W/run.txt" "${confirm_and_finish[@]}"
  restore_faults
  check_msgbox "$W/run.txt" Quellmark \
    "$INCOMPLETE|${PROPOSAL}Plugins\\qmkcsv.dll $IN_USE_TEXT (error 18)|$NO_LOG_TEXT|$SHORTCUTS_TEXT|$NO_KEY_TEXT" warning
  check_exit "$W/run.txt" 1
  check_eq "the user's file is untouched" "a file of the user's" "$(cat "$u/notes.txt")"
  check_nothing_written "an installation directory nothing may be written into" "$W/before"
}

# Every directory the installation would fail in is refused at OK before
# anything is written, with the reason: not a full path (empty, relative,
# drive-relative, far too long), or one the system cannot hold. The window
# keeps the text as typed, the focus in the field. With /S: exit 2.
scenario_refused_directories() {
  echo "the user's" >"$C/e2e/file.txt"
  # The longest path the install makes: the directory, "\" and the
  # payload's longest entry name (or uninstall.list), in 259 characters.
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

# A reinstall while qmk.exe runs: the message names it, exit 1. With qmk.exe
# closed a reinstall completes, and the uninstaller then leaves nothing of
# the product and the user's file in the directory.
scenario_reinstall_while_running() {
  snapshot "$W/before"
  drv "$W/first.txt" start "$INSTALLER" "/S" watch-exit
  check_exit "$W/first.txt" 0
  local u product i
  u="$(unix_of "$PROPOSAL")"
  echo "the user's notes" >"$u/notes.txt"
  (cd "$u" && wine "${PROPOSAL}qmk.exe" >/dev/null 2>&1) &
  product=$!
  for i in $(seq 60); do
    xdotool search --name '^Quellmark$' >/dev/null 2>&1 && break
    sleep 1
  done
  gui "$W/run.txt" "${confirm_and_finish[@]}"
  check_msgbox "$W/run.txt" Quellmark "$INCOMPLETE|${PROPOSAL}qmk.exe $IN_USE_TEXT (error 18)" warning
  check_exit "$W/run.txt" 1
  # Closed as a user would; ended if it does not go.
  xdotool search --name '^Quellmark$' windowclose >/dev/null 2>&1
  for i in $(seq 30); do kill -0 "$product" 2>/dev/null && sleep 1; done
  pkill -f 'qmk\.exe$' 2>/dev/null
  wait "$product" 2>/dev/null
  drv "$W/again.txt" start "$INSTALLER" "/S" watch-exit
  check_exit "$W/again.txt" 0
  check_files "$PROPOSAL" notes.txt
  rm -f "$u/notes.txt"
  uninstall_clean "$W/before" "install, reinstall while running, reinstall, uninstall"
}

# A drive (a tmpfs) with room for the payload's files before qmk.exe (whole
# 4 KiB blocks each), the log and a block to spare, but not for qmk.exe.
scenario_full_drive() {
  local m="$STATE/fault-drive" dir="${FAULT_DRIVE^^}:\\QMK\\" room=8192 kind rel u bad=0 seen=0
  mkdir -p "$m"
  mount -t tmpfs -o size=1m,mode=0755 e2e-full "$m" || { fail "cannot mount a small tmpfs on $m"; return; }
  while read -r kind rel; do
    [ "$kind" = f ] || continue
    [ "$rel" != qmk.exe ] || break
    room=$((room + ($(stat -c %s "$QMK_E2E_PAYLOAD/${rel//\\//}") + 4095) / 4096 * 4096))
  done < <(payload_entries "$QMK_E2E_PAYLOAD")
  [ "$(stat -c %s "$QMK_E2E_PAYLOAD/qmk.exe")" -gt 8192 ] || { fail "qmk.exe is too small for this scenario"; return; }
  dd if=/dev/zero of="$m/filler" bs=4096 count=$((($(stat -f -c '%a * %S' "$m") - room) / 4096)) status=none
  ln -sfn "$m" "$PREFIX/dosdevices/$FAULT_DRIVE:"
  snapshot "$W/before"
  gui "$W/run.txt" set-text "$dir" field "${click_ok_and_finish[@]}"
  check_msgbox "$W/run.txt" Quellmark "$INCOMPLETE|${dir}qmk.exe could not be written in full: the disk is full. \
Free some space and run the installer again. (error 7)|$SHORTCUTS_TEXT|$NO_KEY_TEXT" warning
  check_exit "$W/run.txt" 1
  # The files before qmk.exe are whole; qmk.exe, which did not fit, is gone;
  # nothing after it was made.
  u="$(unix_of "$dir")"
  while read -r kind rel; do
    [ "$kind" = f ] || continue
    [ "$rel" != qmk.exe ] || seen=1
    if [ "$seen" = 0 ]; then
      cmp -s "$QMK_E2E_PAYLOAD/${rel//\\//}" "$u/${rel//\\//}" || { fail "$dir$rel is not the payload's file"; bad=1; }
    elif [ -e "$u/${rel//\\//}" ]; then
      fail "$dir$rel was left or made after the drive was full"
      bad=1
    fi
  done < <(payload_entries "$QMK_E2E_PAYLOAD")
  [ "$bad" = 0 ] && ok "the files before qmk.exe are whole, none from qmk.exe on is there"
  # The log names the payload up to qmk.exe, whose creation failed.
  expected_log "$W/expected.list" "$dir" "mkd: ${FAULT_DRIVE^^}:\\ ::: QMK"
  sed -i "/^${FAULT_DRIVE^^}:\\\\QMK\\\\qmk.exe\r\$/q" "$W/expected.list"
  check_file_eq "uninstall.list: the payload up to qmk.exe" "$W/expected.list" "$u/uninstall.list"
  # The read-mes come after qmk.exe: no shortcut target, so no Start-menu
  # folder and no uninstall key.
  check "no Start-menu folder" no_menu
  check "no uninstall key" no_key
  # Nothing of the failed run stands in the way of a later install
  # elsewhere, which its uninstaller takes away whole.
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
  gui "$W/run.txt" "${confirm_and_finish[@]}"
  restore_faults
  check_msgbox "$W/run.txt" Quellmark "$INCOMPLETE|$SHORTCUTS_TEXT" warning
  check_exit "$W/run.txt" 1
  check "no Start-menu folder" no_menu
  check_files "$PROPOSAL"
  check_log "$PROPOSAL" "$ROOT_LINE"
  check_registry "$(short_of "$PROPOSAL")"
}

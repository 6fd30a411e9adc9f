# scenarios.sh - the installer's end-to-end scenarios, sourced by e2e.sh.
#
# Each function scenario_NAME is one ctest test, e2e.NAME. It starts from a
# reset prefix (nothing installed, no Start-menu folder, no uninstall key,
# an empty C:\e2e), works the installer through e2e_driver.exe and checks
# the results with the helpers of e2e.sh. The setup window's title is
# waited for by its full text, so a wrong caption fails at once.
# shellcheck shell=bash

SETUP_TITLE='Installing Quellmark 3'
W="$STATE/work"

# The steps that confirm whatever the setup window holds with Enter on the
# focused OK button, then read and close the message that follows.
confirm_and_finish=(key enter wait-window '#32770' '*' windows msgbox key enter wait-exit)
# The same with a click on OK, for when the focus is not on it (after the
# folder browser, say).
click_ok_and_finish=(click '&OK' wait-window '#32770' '*' windows msgbox key enter wait-exit)

# The window as drawn: its controls (from the expected listing), the
# background, and a screenshot (docs/setup-window.png is one, made by
# screenshot.sh), taken while the driver waits with the window shown.
scenario_setup_window_layout() {
  place_installer
  rm -f "$C/e2e/shot-taken" "$STATE/setup-window.png"
  wine "$QMK_E2E_DRIVER" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" dump \
    client-pixel 3 115 wait-file 'C:\e2e\shot-taken' close wait-exit >"$W/run.txt" 2>"$W/run.txt.stderr" &
  local pid=$! geo
  for _ in $(seq $((300 * ${QMK_E2E_TIMEOUT_SCALE:-1}))); do
    grep -q '^pixel ' "$W/run.txt" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  geo="$(grep -m1 '^win 0 ' "$W/run.txt" | tr -d '\r' | sed -n 's/.* x=\([0-9-]*\) y=\([0-9-]*\) w=\([0-9]*\) h=\([0-9]*\) .*/\3x\4+\1+\2/p')"
  [ -n "$geo" ] && import -display "$DISPLAY" -window root -crop "$geo" +repage "$STATE/setup-window.png" 2>"$W/import.log" \
    || fail "no screenshot of the setup window: $(cat "$W/import.log" 2>/dev/null)"
  touch "$C/e2e/shot-taken"
  wait "$pid"
  sed 's/^/    | /' "$W/run.txt"
  grep '^win ' "$W/run.txt" | tr -d '\r' >"$W/layout.txt"
  grep -v '^#' "$here/expected/setup-window.txt" >"$W/layout.expected"
  check_file_eq "setup window and controls: classes, texts, styles, positions, sizes, focus on OK" \
    "$W/layout.expected" "$W/layout.txt"
  # The class's background brush is COLOR_MENU + 1: a point of the client
  # area outside every control shows the menu colour, not the window colour.
  local px menu window colours
  px="$(nth "$W/run.txt" 'pixel ' | sed 's/.*rgb=\([0-9A-F]*\).*/\1/')"
  menu="$(nth "$W/run.txt" 'pixel ' | sed 's/.*menu=\([0-9A-F]*\).*/\1/')"
  window="$(nth "$W/run.txt" 'pixel ' | sed 's/.*window=\([0-9A-F]*\).*/\1/')"
  if [ -z "$menu" ] || [ "$menu" = "$window" ]; then
    fail "the prefix's menu and window colours are the same ('$menu'): the background cannot be told apart"
  else
    check_eq "background is the menu colour" "$menu" "$px"
  fi
  check_exit "$W/run.txt" 0
  check_eq "screenshot size" "500x185" "$(identify -format '%wx%h' "$STATE/setup-window.png" 2>/dev/null)"
  colours="$(identify -format '%k' "$STATE/setup-window.png" 2>/dev/null)"
  [ "${colours:-0}" -gt 8 ] && ok "the screenshot shows a drawn window ($colours colours)" \
    || fail "the screenshot has only ${colours:-0} colours"
}

scenario_enter_confirms_proposal() {
  place_installer
  drv "$W/run.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" field focus \
    "${confirm_and_finish[@]}"
  check_eq "proposed directory" "$PROPOSAL" "$(nth "$W/run.txt" 'field text=')"
  check_eq "OK has the focus" "class=Button text=&OK" "$(nth "$W/run.txt" 'focus ')"
  check_eq "only the completion message is shown at the end" "class=#32770 text=Information" "$(nth "$W/run.txt" 'top ')"
  check_msgbox "$W/run.txt" Information "$COMPLETE_TEXT" information
  check_exit "$W/run.txt" 0
  check_installed "$PROPOSAL" 'mkd: C:\Program files\ ::: QMK'
}

scenario_typed_directory() {
  place_installer
  local dir='C:\e2e\Typed Dir'
  # Tab, Tab: from OK over Cancel into the field, whose text is selected,
  # so typing replaces it; Tab, Tab on to Browse and OK.
  drv "$W/run.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" \
    key tab key tab focus type "$dir" field key tab key tab focus "${confirm_and_finish[@]}"
  check_eq "focus in the field after two Tabs" "class=Edit" "$(nth "$W/run.txt" 'focus ' 1 | sed 's/ text=.*//')"
  check_eq "typed text in the field" "$dir" "$(nth "$W/run.txt" 'field text=')"
  check_eq "OK has the focus after two more Tabs" "class=Button text=&OK" "$(nth "$W/run.txt" 'focus ' 2)"
  check_msgbox "$W/run.txt" Information "$COMPLETE_TEXT" information
  check_exit "$W/run.txt" 0
  [ ! -e "$C/e2e/Typed Dir/QMK" ] && ok "no product leaf appended" || fail "a QMK folder was made inside the typed directory"
  check_installed "$dir\\" 'mkd: C:\e2e\ ::: Typed Dir'
}

scenario_browse_cancel_restores_field() {
  place_installer
  snapshot "$W/before"
  drv "$W/run.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" \
    key tab key tab type 'C:\e2e\typed' field click '&Browse' wait-window '#32770' Browser windows \
    text-of 0x3742 text-of 0x3743 click-id 2 wait-window EnterPathWndClass "$SETUP_TITLE" field \
    click '&Cancel' wait-exit
  check_eq "typed text" 'C:\e2e\typed' "$(nth "$W/run.txt" 'field text=' 1)"
  check_eq "only the browser is shown while browsing" "class=#32770 text=Browser" \
    "$(grep '^top ' "$W/run.txt" | tr -d '\r' | sed 's/^top //' | paste -sd'|')"
  check_eq "browser title" "Select directory for installation ." "$(nth "$W/run.txt" 'text ' 1)"
  check_eq "browser status: the initial folder plus QMK\\" 'C:\Program Files\QMK\' "$(nth "$W/run.txt" 'text ' 2)"
  check_eq "field after Cancel in the browser" "$PROPOSAL" "$(nth "$W/run.txt" 'field text=' 2)"
  check_exit "$W/run.txt" 0
  check_nothing_written "browse, cancel, cancel" "$W/before"
}

# Browse and OK twice. Without C:\Program files\QMK the browser starts at
# the deepest folder that exists, in the file system's spelling, and OK
# adds the leaf once; Cancel then leaves nothing written. With it, it
# starts there and OK adds the leaf to it; the focus is on OK again after
# the browser, so Enter installs into the folder chosen.
scenario_browse_ok() {
  place_installer
  snapshot "$W/before"
  local want finish=(click '&Cancel' wait-exit)
  for want in 'C:\Program Files\QMK\' 'C:\Program Files\QMK\QMK\'; do
    drv "$W/run.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" \
      click '&Browse' wait-window '#32770' Browser text-of 0x3743 click-id 1 \
      wait-window EnterPathWndClass "$SETUP_TITLE" field \
      click '&Browse' wait-window '#32770' Browser text-of 0x3743 click-id 1 \
      wait-window EnterPathWndClass "$SETUP_TITLE" field focus "${finish[@]}"
    check_eq "status at the initial selection" "$want" "$(nth "$W/run.txt" 'text ' 1)"
    check_eq "field after OK" "$want" "$(nth "$W/run.txt" 'field text=' 1)"
    check_eq "status the second time" "$want" "$(nth "$W/run.txt" 'text ' 2)"
    check_eq "field after the second OK: the leaf once" "$want" "$(nth "$W/run.txt" 'field text=' 2)"
    check_eq "OK has the focus after the browser" "class=Button text=&OK" "$(nth "$W/run.txt" 'focus ')"
    check_exit "$W/run.txt" 0
    [ "$want" != 'C:\Program Files\QMK\' ] || check_nothing_written "browse, OK, cancel" "$W/before"
    mkdir -p "$(unix_of 'C:\Program files')/QMK"
    finish=("${confirm_and_finish[@]}")
  done
  check_msgbox "$W/run.txt" Information "$COMPLETE_TEXT" information
  check_files 'C:\Program Files\QMK\QMK\'
}

# Leaving the window installs nothing: Tab to Cancel and Space (Enter
# would not do: once Tab has moved the focus, the dialog manager leaves no
# button the default one); the close box; Escape, and Enter in the field,
# do nothing, then Cancel.
scenario_leaving_installs_nothing() {
  place_installer
  snapshot "$W/before"
  drv "$W/cancel.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" key tab focus key space wait-exit
  check_eq "Tab moves to Cancel" "class=Button text=&Cancel" "$(nth "$W/cancel.txt" 'focus ')"
  drv "$W/close.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" close wait-exit
  drv "$W/keys.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" \
    key escape windows key tab key tab key enter windows field click '&Cancel' wait-exit
  check_eq "after Escape and Enter in the field only the setup window is shown" \
    "class=EnterPathWndClass text=$SETUP_TITLE|class=EnterPathWndClass text=$SETUP_TITLE" \
    "$(grep '^top ' "$W/keys.txt" | tr -d '\r' | sed 's/^top //' | paste -sd'|')"
  check_eq "field unchanged" "$PROPOSAL" "$(nth "$W/keys.txt" 'field text=')"
  local r
  for r in cancel close keys; do check_exit "$W/$r.txt" 0; done
  check_nothing_written "Cancel, close box, Escape" "$W/before"
}

# uninstall_clean BEFORE WHAT: qmk.exe -uninstall from the proposed
# directory reports success and leaves the machine as snapshot BEFORE.
uninstall_clean() {
  local report
  # The uninstaller hands its work to a copy of itself that keeps the
  # standard handles: reading its output to the end waits for the copy.
  report="$(cd "$C" && wine "${PROPOSAL}qmk.exe" -uninstall /S 2>/dev/null | tr -d '\r')"
  echo "uninstaller report:"
  echo "$report" | sed 's/^/    | /'
  check_eq "uninstaller result" "result: 0" "$(echo "$report" | tail -1)"
  check_nothing_written "$2" "$1"
}

scenario_second_install_over_first() {
  place_installer
  snapshot "$W/before"
  drv "$W/first.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" "${confirm_and_finish[@]}"
  check_exit "$W/first.txt" 0
  drv "$W/run.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" "${confirm_and_finish[@]}"
  check_msgbox "$W/run.txt" Information "$COMPLETE_TEXT" information
  check_exit "$W/run.txt" 0
  # The first run's record comes first and whole; of the second run's
  # lines only its root line is new (the directory existed: it names
  # nothing).
  check_files "$PROPOSAL"
  expected_log "$W/expected.list" "$PROPOSAL" 'mkd: C:\Program files\ ::: QMK'
  printf '%s\r\n' 'mkd: C:\Program files\QMK\ :::' >>"$W/expected.list"
  check_file_eq "uninstall.list: the first run's lines, then the second's root line" "$W/expected.list" \
    "$(unix_of "${PROPOSAL}uninstall.list")"
  local short
  short="$(short_of "$PROPOSAL")"
  check_links "$PROPOSAL" "$short"
  check_registry "$short"
  uninstall_clean "$W/before" "install, reinstall, uninstall"
}

# silent_refused ARGS: started with ARGS (holding /S), the installer shows
# no window and exits 2.
silent_refused() {
  drv "$W/silent.txt" start "$INSTALLER" "$1" watch-exit
  check_eq "$1: no window shown" "" "$(grep '^seen-window' "$W/silent.txt")"
  check_exit "$W/silent.txt" 2
}

# Unattended: /S anywhere on the line, /D= quoted whole or in its value,
# or unquoted to the end of the line; no window, and everything installed
# where the line says.
scenario_silent_install() {
  local line dir root
  while IFS=$'\t' read -r -u 3 line dir root; do
    reset_state
    place_installer
    drv "$W/run.txt" start "$INSTALLER" "$line" watch-exit
    check_eq "$line: no window shown" "" "$(grep '^seen-window' "$W/run.txt")"
    check_exit "$W/run.txt" 0
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
  place_installer
  snapshot "$W/before"
  drv "$W/run.txt" start "$INSTALLER" "/X" wait-window '#32770' '*' windows msgbox key enter wait-exit
  check_eq "only a message is shown" "1" "$(grep -c '^top ' "$W/run.txt")"
  check_eq "usage message caption" "Quellmark" "$(nth "$W/run.txt" 'msgbox caption=')"
  check_exit "$W/run.txt" 2
  silent_refused "/S /X"
  check_nothing_written "unknown switch" "$W/before"
}

# damaged WHERE [INSTALLER]: an installer (the build's unless given) with
# one payload byte changed at WHERE shows only the damage message, exits 2
# and writes nothing, with and without /S.
damaged() {
  mkdir -p "$C/e2e/dl"
  cp "${2:-$QMK_E2E_SETUP}" "$C/e2e/good.exe"
  corrupt_payload "$C/e2e/good.exe" "$C/e2e/dl/QuellmarkSetup.exe" "$1" || { fail "could not make a damaged copy"; return; }
  snapshot "$W/before"
  drv "$W/run.txt" start "$INSTALLER" "" wait-window '#32770' '*' windows msgbox key enter wait-exit
  check_eq "only the message is shown, no setup window" "class=#32770 text=Quellmark" \
    "$(grep '^top ' "$W/run.txt" | tr -d '\r' | sed 's/^top //' | paste -sd'|')"
  check_msgbox "$W/run.txt" Quellmark "$DAMAGED_TEXT" error
  check_exit "$W/run.txt" 2
  silent_refused "/S"
  check_nothing_written "damaged payload" "$W/before"
}

# corrupt_payload IN OUT WHERE: a copy of the installer IN with the byte at
# WHERE (from the start of resource RCDATA 10, "mid" for its middle) changed.
corrupt_payload() {
  python3 - "$@" <<'PY'
import struct, sys
src, dst, where = sys.argv[1:]
f = bytearray(open(src, "rb").read())
u16 = lambda o: struct.unpack_from("<H", f, o)[0]
u32 = lambda o: struct.unpack_from("<I", f, o)[0]
pe = u32(0x3C)
opt = pe + 24
heads = [opt + u16(pe + 20) + 40 * i for i in range(u16(pe + 6))]
def to_file(rva):
    return next(u32(h + 20) + rva - u32(h + 12) for h in heads if u32(h + 12) <= rva < u32(h + 12) + u32(h + 16))
root = to_file(u32(opt + 96 + 16))
def entry(d, ident):
    return next(u32(e + 4) for e in range(d + 16, d + 16 + 8 * (u16(d + 12) + u16(d + 14)), 8) if u32(e) == ident)
names = root + (entry(root, 10) & 0x7FFFFFFF)
langs = root + (entry(names, 10) & 0x7FFFFFFF)
leaf = root + u32(langs + 20)
start, size = to_file(u32(leaf)), u32(leaf + 4)
at = size // 2 if where == "mid" else int(where, 0)
f[start + at] ^= 0x5A
open(dst, "wb").write(f)
print(f"corrupted payload byte {at} of {size} at file offset {start + at}")
PY
}

scenario_damaged_payload_data() { damaged mid; }
scenario_damaged_payload_header() { damaged 4; }

# Signed after setup with Authenticode (a self-signed certificate), the
# installer installs; with one payload byte changed, the signed installer
# refuses as an unsigned one does.
scenario_signed_installer() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$W/key.pem" -out "$W/cert.pem" -days 30 \
    -subj "/CN=Quellmark Release Test" >/dev/null 2>&1 &&
    osslsigncode sign -certs "$W/cert.pem" -key "$W/key.pem" -n "Quellmark Setup" -h sha256 \
      -in "$QMK_E2E_SETUP" -out "$W/signed.exe" >/dev/null || { fail "cannot sign the installer"; return; }
  place_installer "$W/signed.exe"
  drv "$W/run.txt" start "$INSTALLER" "/S" watch-exit
  check_exit "$W/run.txt" 0
  check_installed "$PROPOSAL" 'mkd: C:\Program files\ ::: QMK'
  reset_state
  damaged mid "$W/signed.exe"
}

# qmkpack.exe, the archiver built for Windows, makes the build's installer
# by hand from the stub and the payload folder, byte for byte, and it
# installs in the window.
scenario_setup_by_hand_on_windows() {
  [ -n "$QMK_E2E_PAYLOAD" ] || { ok "the payload was given as an archive: no folder to pack"; return; }
  mkdir -p "$C/e2e"
  SOURCE_DATE_EPOCH="$(payload_epoch)" wine "$QMK_E2E_QMKPACK" setup -q --stub "$(z_path "$QMK_E2E_STUB")" \
    'C:\e2e\hand.exe' "$(z_path "$QMK_E2E_PAYLOAD")" >"$W/setup.txt" 2>&1
  check_eq "qmkpack.exe setup: exit status and messages" "0:" "$?:$(tr -d '\r' <"$W/setup.txt")"
  cmp -s "$C/e2e/hand.exe" "$QMK_E2E_SETUP" && ok "the installer made by hand is the build's" \
    || fail "the installer qmkpack.exe made differs from the build's"
  place_installer "$C/e2e/hand.exe"
  drv "$W/run.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" "${confirm_and_finish[@]}"
  check_exit "$W/run.txt" 0
  check_installed "$PROPOSAL" 'mkd: C:\Program files\ ::: QMK'
}

scenario_readonly_file_in_the_way() {
  place_installer
  local u f
  u="$(unix_of 'C:\Program files')/QMK"
  f="$u/readme.txt"
  mkdir -p "$u"
  echo "an older read-me, read-only" >"$f"
  chmod a-w "$f"
  # Wine honours the read-only bit for deleting, but as root its opening
  # for writing goes through to Linux, which lets root write; an immutable
  # file refuses root too, as Windows refuses everyone.
  if [ "$(id -u)" = 0 ] && ! chattr +i "$f" 2>/dev/null; then
    fail "cannot make $f immutable (chattr +i): as root the read-only file would not be in the way"
    return
  fi
  drv "$W/run.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" "${confirm_and_finish[@]}"
  chattr -i "$f" 2>/dev/null
  check_msgbox "$W/run.txt" Quellmark "$INCOMPLETE|${PROPOSAL}readme.txt $IN_USE_TEXT (error 18)" warning
  check_exit "$W/run.txt" 1
  check_eq "the read-only file is untouched" "an older read-me, read-only" "$(cat "$f")"
  ! grep -qF "${PROPOSAL}readme.txt" "$(unix_of "${PROPOSAL}uninstall.list")" && ok "the user's file is not claimed by the log" \
    || fail "the log claims the user's read-only readme.txt"
  # The later steps still ran.
  local short
  short="$(short_of "$PROPOSAL")"
  check_links "$PROPOSAL" "$short"
  check_registry "$short"
}

scenario_hklm_denied() {
  place_installer
  # Everyone may read the uninstall parent key but not change it, as for a
  # user without administrator rights; the rules are put back afterwards
  # (and by the reset of the next scenario, should this one stop midway).
  touch "$STATE/uninstall-key.denied"
  drv "$W/deny.txt" reg-deny "${UNINSTALL_KEY%\\QMK}"
  check_eq "the parent key cannot be opened with all access" "5" \
    "$(nth "$W/deny.txt" 'reg-rules ' | sed 's/.*all-access-open=//')"
  drv "$W/run.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" "${confirm_and_finish[@]}"
  restore_registry_rules
  check_msgbox "$W/run.txt" Quellmark \
    "Quellmark was not installed completely.|The uninstall entry could not be registered. Run the installer as an administrator." warning
  check_exit "$W/run.txt" 1
  local reg="$W/reg.txt"
  wine "$QMK_E2E_DRIVER" reg-dump "$UNINSTALL_KEY" >"$reg" 2>/dev/null
  grep -q '^regkey missing' "$reg" && ok "no uninstall key" || fail "an uninstall key was written: $(cat "$reg")"
  # Every other step ran, and the log still names the key last.
  check_files "$PROPOSAL"
  check_log "$PROPOSAL" 'mkd: C:\Program files\ ::: QMK'
  check_links "$PROPOSAL" "$(short_of "$PROPOSAL")"
}

scenario_no_programs_folder() {
  place_installer
  # Without its folder the shell cannot resolve this user's Programs
  # folder; it is put back afterwards (and by the next reset).
  local programs
  programs="$(unix_of "$PROGRAMS")"
  mv "$programs" "$programs.e2e-moved" || { fail "cannot move $programs away"; return; }
  drv "$W/folders.txt" programs-folder
  check_eq "the shell finds no Programs folder" "" "$(nth "$W/folders.txt" 'programs-folder' | sed 's/^ //')"
  snapshot "$W/before"
  drv "$W/run.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" "${confirm_and_finish[@]}"
  restore_programs_folder
  check_msgbox "$W/run.txt" Quellmark \
    "Quellmark was not installed completely.|$SHORTCUTS_TEXT" warning
  check_exit "$W/run.txt" 1
  # Nothing of the Start menu anywhere: no folder in the installer's
  # current directory or elsewhere, no link file, and no lines for them.
  local made
  made="$(cd "$C" && find . \( -iname Quellmark -o -iname '*.lnk' \) -newer "$W/before" -printf '%P\n')"
  check_eq "no Start-menu folder or shortcut created anywhere" "" "$made"
  check_files "$PROPOSAL"
  check_log "$PROPOSAL" 'mkd: C:\Program files\ ::: QMK' "" no-start-menu
  check_registry "$(short_of "$PROPOSAL")"
}

scenario_planted_dll_not_loaded() {
  place_installer
  local dl="$C/e2e/dl" n names=(dwmapi.dll propsys.dll profapi.dll uxtheme.dll comctl32.dll version.dll shfolder.dll)
  for n in "${names[@]}"; do cp "$QMK_E2E_PLANTED" "$dl/$n"; done
  cp "$QMK_E2E_LOADLIB" "$dl/control.exe"
  # The control: a program that loads these names with the default search
  # order. Names whose DllMain runs from the download folder are plantable
  # under this Wine; the others Wine takes from its own builtin DLLs.
  (cd "$C" && wine 'C:\e2e\dl\control.exe' "${names[@]}" >"$W/control.txt" 2>/dev/null)
  sed 's/^/    | /' "$W/control.txt"
  local plantable=()
  for n in "${names[@]}"; do
    [ -f "$dl/$n.loaded" ] && plantable+=("$n")
  done
  if [ "${#plantable[@]}" = 0 ]; then
    fail "no planted name is loaded even by the control program: the check below could not fail"
    return
  fi
  ok "the control program loads the planted ${plantable[*]}"
  rm -f "$dl"/*.loaded
  # The installer through Browse, the installation and the message, with
  # Wine's record of every DLL each process loads and from where.
  WINEDEBUG=+loaddll,+pid drv "$W/run.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" \
    click '&Browse' wait-window '#32770' Browser click-id 2 wait-window EnterPathWndClass "$SETUP_TITLE" \
    "${click_ok_and_finish[@]}"
  check_exit "$W/run.txt" 0
  local markers
  markers="$(cd "$dl" && ls -- *.loaded 2>/dev/null)"
  check_eq "no planted DLL ran in the installer" "" "$markers"
  local pid loads
  pid="$(printf '%04x' "$(sed -n 's/^started pid=\([0-9]*\).*/\1/p' "$W/run.txt" | tr -d '\r')")"
  loads="$(grep -a "^$pid:" "$W/run.txt.stderr" | sed -n 's/.*Loaded L"\([^"]*\)".*: \(.*\)/\1 \2/p' | sed 's/\\\\/\\/g')"
  echo "DLLs the installer loaded:"
  echo "$loads" | sed 's/^/    | /'
  [ -n "$loads" ] || fail "no record of the installer's DLL loads"
  local from_dl
  from_dl="$(echo "$loads" | grep -i '^C:\\e2e\\dl\\' | grep -iv '^C:\\e2e\\dl\\QuellmarkSetup.exe ')"
  check_eq "no DLL of the installer's own folder loaded as a native DLL" "" "$(echo "$from_dl" | grep ' native$')"
  if [ -n "$from_dl" ]; then
    echo "note: Wine resolved these names in the installer's folder but loaded its own builtin DLLs:"
    echo "$from_dl" | sed 's/^/    | /'
  fi
}

INCOMPLETE='Quellmark was not installed completely.'
IN_USE_TEXT='is in use or read-only. Close Quellmark and run the installer again.'
NO_LOG_TEXT='The install log uninstall.list could not be written, so the uninstaller cannot remove everything. Free some space and run the installer again.'
SHORTCUTS_TEXT='The Start-menu shortcuts could not all be created; a shortcut is made only for a file that was installed.'
NO_KEY_TEXT='No uninstall entry was registered, as qmk.exe was not installed.'
REFUSED_TEXT='Quellmark cannot be installed into this directory'
CHOOSE_TEXT='Please choose another directory.'

scenario_readonly_install_directory() {
  place_installer
  # An existing installation directory nothing may be written into.
  local u
  u="$(unix_of 'C:\Program files')/QMK"
  mkdir -p "$u"
  echo "a file of the user's" >"$u/notes.txt"
  make_immutable "$u" || { fail "cannot make $u immutable (chattr +i)"; return; }
  if (: >"$u/probe") 2>/dev/null; then
    rm -f "$u/probe"
    fail "$u takes new files although immutable: the check below could not fail"
    return
  fi
  snapshot "$W/before"
  drv "$W/run.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" "${confirm_and_finish[@]}"
  restore_immutable
  # No file can be created there: the first file fails (18), the log file
  # itself cannot be created, and with no product file nothing points at it.
  check_msgbox "$W/run.txt" Quellmark \
    "$INCOMPLETE|${PROPOSAL}Plugins\\qmkcsv.dll $IN_USE_TEXT (error 18)|$NO_LOG_TEXT|$SHORTCUTS_TEXT|$NO_KEY_TEXT" warning
  check_exit "$W/run.txt" 1
  check_eq "the user's file is untouched" "a file of the user's" "$(cat "$u/notes.txt")"
  check_nothing_written "an installation directory nothing may be written into" "$W/before"
}

# Every directory the installation would fail in is refused at OK, before
# anything is written, with the reason: one that is not a full path (empty,
# relative, drive-relative, far too long) and one the system cannot hold.
# The window stays with the text as typed and the focus in the field. With
# /S the refusal is exit 2.
scenario_refused_directories() {
  place_installer
  mkdir -p "$C/e2e"
  echo "the user's" >"$C/e2e/file.txt"
  [ ! -e "$PREFIX/dosdevices/$FAULT_DRIVE:" ] || { fail "drive ${FAULT_DRIVE^^}: is mapped"; return; }
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
    [ "$reason" = full ] && texts+=("$FULL_PATH_TEXT") || texts+=("$REFUSED_TEXT: $reason.|$CHOOSE_TEXT")
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
  for dir in "${dirs[@]}"; do
    steps+=(set-text "$dir" click '&OK' wait-window '#32770' Quellmark msgbox key enter wait-gone
      wait-window EnterPathWndClass "$SETUP_TITLE" field focus)
  done
  drv "$W/run.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" "${steps[@]}" \
    click '&Cancel' wait-exit
  local i
  for i in "${!dirs[@]}"; do
    check_msgbox "$W/run.txt" Quellmark "${texts[$i]}" warning $((i + 1))
    check_eq "the text as typed: ${dirs[$i]}" "${dirs[$i]}" "$(nth "$W/run.txt" 'field text=' $((i + 1)))"
    check_eq "the focus back in the field: ${dirs[$i]}" "class=Edit" \
      "$(nth "$W/run.txt" 'focus ' $((i + 1)) | sed 's/ text=.*//')"
    [ -z "${dirs[$i]}" ] || silent_refused "/S /D=${dirs[$i]}"
  done
  check_exit "$W/run.txt" 0
  check_nothing_written "refused directories, in the window and with /S" "$W/before"
}

# A reinstall while qmk.exe runs: the message names it, exit 1; with
# qmk.exe closed, a reinstall completes, and the uninstaller then leaves
# nothing of the product and the user's file in the directory.
scenario_reinstall_while_running() {
  place_installer
  snapshot "$W/before"
  drv "$W/first.txt" start "$INSTALLER" "/S" watch-exit
  check_exit "$W/first.txt" 0
  local u
  u="$(unix_of "$PROPOSAL")"
  echo "the user's notes" >"$u/notes.txt"
  (cd "$u" && wine "${PROPOSAL}qmk.exe" >/dev/null 2>&1) &
  local product=$! i
  for i in $(seq 1 60); do
    xdotool search --name '^Quellmark$' >/dev/null 2>&1 && break
    sleep 1
  done
  drv "$W/run.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" "${confirm_and_finish[@]}"
  check_msgbox "$W/run.txt" Quellmark "$INCOMPLETE|${PROPOSAL}qmk.exe $IN_USE_TEXT (error 18)" warning
  check_exit "$W/run.txt" 1
  # Closed as a user would; ended if it does not go.
  xdotool search --name '^Quellmark$' windowclose >/dev/null 2>&1
  for i in $(seq 1 30); do kill -0 "$product" 2>/dev/null && sleep 1; done
  pkill -f 'qmk\.exe$' 2>/dev/null
  wait "$product" 2>/dev/null
  drv "$W/again.txt" start "$INSTALLER" "/S" watch-exit
  check_exit "$W/again.txt" 0
  check_files "$PROPOSAL" notes.txt
  rm -f "$u/notes.txt"
  uninstall_clean "$W/before" "install, reinstall while running, reinstall, uninstall"
}

scenario_full_drive() {
  place_installer
  local m="$STATE/fault-drive" dir="${FAULT_DRIVE^^}:\\QMK\\"
  mkdir -p "$m"
  if ! mount -t tmpfs -o size=1m,mode=0755 e2e-full "$m"; then
    fail "cannot mount a small tmpfs on $m: a full drive cannot be simulated here"
    return
  fi
  # Room for the payload's entries before qmk.exe (whole 4 KiB blocks
  # each), the log and a block to spare, but not for qmk.exe.
  local before_bytes=0 kind rel size
  while read -r kind rel; do
    [ "$kind" = f ] || continue
    [ "$rel" = qmk.exe ] && break
    size="$(stat -c %s "$QMK_E2E_PAYLOAD/${rel//\\//}")"
    before_bytes=$((before_bytes + (size + 4095) / 4096 * 4096))
  done < <(payload_entries "$QMK_E2E_PAYLOAD")
  local qmk_size room
  qmk_size="$(stat -c %s "$QMK_E2E_PAYLOAD/qmk.exe")"
  room=$((before_bytes + 8192))
  [ "$qmk_size" -gt $((room - before_bytes)) ] || { fail "qmk.exe ($qmk_size bytes) is too small for this scenario"; return; }
  local avail
  avail=$(($(stat -f -c '%a * %S' "$m")))
  dd if=/dev/zero of="$m/filler" bs=4096 count=$(((avail - room) / 4096)) status=none
  ln -sfn "$m" "$PREFIX/dosdevices/$FAULT_DRIVE:"
  echo "drive ${FAULT_DRIVE^^}: free $(($(stat -f -c '%a * %S' "$m"))) bytes for $before_bytes bytes of files before qmk.exe"
  snapshot "$W/before"
  drv "$W/run.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" \
    set-text "$dir" field "${click_ok_and_finish[@]}"
  check_msgbox "$W/run.txt" Quellmark "$INCOMPLETE|${dir}qmk.exe could not be written in full: the disk is full. \
Free some space and run the installer again. (error 7)|$SHORTCUTS_TEXT|$NO_KEY_TEXT" warning
  check_exit "$W/run.txt" 1
  # The files before qmk.exe are whole; qmk.exe, which did not fit, is
  # gone; nothing after it was made.
  local u bad=0 seen=0
  u="$(unix_of "$dir")"
  while read -r kind rel; do
    [ "$kind" = f ] || continue
    [ "$rel" = qmk.exe ] && { seen=1; continue; }
    if [ "$seen" = 0 ]; then
      cmp -s "$QMK_E2E_PAYLOAD/${rel//\\//}" "$u/${rel//\\//}" || { fail "$dir$rel is not the payload's file"; bad=1; }
    else
      [ ! -e "$u/${rel//\\//}" ] || { fail "$dir$rel was made after the drive was full"; bad=1; }
    fi
  done < <(payload_entries "$QMK_E2E_PAYLOAD")
  [ "$bad" = 0 ] && ok "the files before qmk.exe are whole, none after it was made"
  [ ! -e "$u/qmk.exe" ] && ok "the qmk.exe that did not fit is not left" || fail "a partial qmk.exe is left ($(stat -c %s "$u/qmk.exe") bytes)"
  # The log names the payload up to qmk.exe, whose creation failed, and
  # nothing after it.
  expected_log "$W/expected.list" "$dir" "mkd: ${FAULT_DRIVE^^}:\\ ::: QMK"
  sed -i "/^${FAULT_DRIVE^^}:\\\\QMK\\\\qmk.exe\r\$/q" "$W/expected.list"
  check_file_eq "uninstall.list: the payload up to qmk.exe" "$W/expected.list" "$u/uninstall.list"
  # The read-mes come after qmk.exe: with none of the shortcuts' targets
  # there, no Start-menu folder, no shortcut and no uninstall key.
  check_eq "no Start-menu folder" "no" "$([ -e "$(unix_of "$PROGRAMS\\Quellmark")" ] && echo yes || echo no)"
  wine "$QMK_E2E_DRIVER" reg-dump "$UNINSTALL_KEY" >"$W/reg.txt" 2>/dev/null
  grep -q '^regkey missing' "$W/reg.txt" && ok "no uninstall key" || fail "an uninstall key was written: $(cat "$W/reg.txt")"
  # Nothing of the failed run stands in the way of a later install
  # elsewhere, which its uninstaller takes away whole.
  drv "$W/later.txt" start "$INSTALLER" "/S" watch-exit
  check_exit "$W/later.txt" 0
  uninstall_clean "$W/before" "a later install elsewhere, then its uninstaller"
  restore_fault_drive
}

scenario_programs_folder_readonly() {
  place_installer
  local programs
  programs="$(unix_of "$PROGRAMS")"
  make_immutable "$programs" || { fail "cannot make $programs immutable (chattr +i)"; return; }
  if mkdir "$programs/e2e-probe" 2>/dev/null; then
    rmdir "$programs/e2e-probe"
    fail "$programs takes new folders although immutable: the check below could not fail"
    return
  fi
  snapshot "$W/before"
  drv "$W/run.txt" start "$INSTALLER" "" wait-window EnterPathWndClass "$SETUP_TITLE" "${confirm_and_finish[@]}"
  restore_immutable
  check_msgbox "$W/run.txt" Quellmark \
    "$INCOMPLETE|$SHORTCUTS_TEXT" warning
  check_exit "$W/run.txt" 1
  check_eq "no Start-menu folder" "no" "$([ -e "$(unix_of "$PROGRAMS\\Quellmark")" ] && echo yes || echo no)"
  check_files "$PROPOSAL"
  check_log "$PROPOSAL" 'mkd: C:\Program files\ ::: QMK'
  check_registry "$(short_of "$PROPOSAL")"
}

#!/usr/bin/env bash
# Checks of the built installer that need no Windows: what the PE file is
# made of, and that two builds from the same sources are byte-identical.
#
#   installer_build_test.sh pe SETUP.exe STUB.exe PAYLOAD.ace
#   installer_build_test.sh handmade SETUP.exe STUB.exe QMKPACK DIR [REPO]
#   installer_build_test.sh reproducible SOURCE_DIR TOOLCHAIN_FILE
set -u
pass=0
fail=0
check() {  # check NAME CONDITION-RESULT DETAIL
  if [ "$2" = 0 ]; then
    pass=$((pass + 1))
  else
    fail=$((fail + 1))
    echo "FAIL: $1${3:+ ($3)}"
  fi
}

pe_checks() {
  local setup="$1" stub="$2" payload="$3" objdump=i686-w64-mingw32-objdump windres=i686-w64-mingw32-windres
  local size headers imports resources
  size=$(stat -c %s "$stub")
  [ "$size" -le 49152 ]
  check "stub at most 48 KiB" $? "$size bytes"
  headers="$($objdump -p "$setup")"
  grep -q 'file format pei-i386' <<<"$headers"
  check "32-bit PE" $?
  grep -Eq 'Subsystem[[:space:]]+00000002' <<<"$headers"
  check "Windows GUI subsystem" $?
  # ASLR and DEP: DYNAMIC_BASE (0x40) and NX_COMPAT (0x100).
  local dll
  dll=$(awk '/DllCharacteristics/ {print $2}' <<<"$headers")
  [ $((0x$dll & 0x140)) = $((0x140)) ]
  check "dynamic base and NX compatible" $? "DllCharacteristics $dll"
  imports="$(awk '/DLL Name:/ {print toupper($3)}' <<<"$headers" | sort -u | tr '\n' ' ')"
  [ "$imports" = "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL OLE32.DLL SHELL32.DLL USER32.DLL " ]
  check "only system DLLs imported" $? "$imports"
  resources="$($windres -J coff -i "$setup" -O rc 2>/dev/null)"
  grep -q 'Name: "MAINICON"' <<<"$resources"
  check "icon group MAINICON" $?
  grep -q 'VALUE "ProductName", "Quellmark"' <<<"$resources" &&
    grep -q 'VALUE "FileDescription", "Quellmark Setup"' <<<"$resources"
  check "version resource" $?
  grep -q 'requestedExecutionLevel level=""requireAdministrator""' <<<"$resources" &&
    grep -q 'supportedOS' <<<"$resources"
  check "manifest asks for administrator rights" $?
  # The payload resource holds the archive's bytes exactly: the installer
  # is the stub's size plus about the archive's.
  local grown
  grown=$(($(stat -c %s "$setup") - size))
  local want
  want=$(stat -c %s "$payload")
  [ "$grown" -ge "$want" ] && [ "$grown" -le $((want + 4096)) ]
  check "payload embedded once" $? "grew $grown bytes for a $want-byte archive"
  # Read back with icoutils' wrestool: the stub's resources and RCDATA 10
  # and 11, the payload byte for byte and on a page of the file.
  local names
  names="$(diff <(wrestool -l "$stub" | sed 's/ \[.*//') <(wrestool -l "$setup" | sed 's/ \[.*//') | grep '^[<>]')"
  [ "$names" = $'> --type=10 --name=10 --language=1033\n> --type=10 --name=11 --language=1033' ]
  check "the stub's resources and the payload's two" $? "$names"
  wrestool -x --raw --type=10 --name=10 "$setup" | cmp -s - "$payload"
  check "RCDATA 10 is the payload" $?
  local at
  at=$(wrestool -l --type=10 --name=10 "$setup" | sed -nE 's/.*offset=(0x[0-9a-f]+).*/\1/p')
  [ -n "$at" ] && [ $((at % 4096)) = 0 ]
  check "the payload starts on a page of the file" $? "offset $at"
  # The resources start on a page of the file, so they are mapped, not copied.
  local raw
  raw=$($objdump -h "$setup" | awk '$2 == ".rsrc" {print $6}')
  [ -n "$raw" ] && [ $((0x$raw % 4096)) = 0 ]
  check "resources page-aligned in the file" $? "file offset 0x$raw"
}

# The release engineer's way: qmkpack setup from the stub and the folder the
# build packed (file times clamped to REPO's commit, as the build does)
# gives the build's installer, byte for byte, every time.
handmade() {
  local setup="$1" stub="$2" qmkpack="$3" dir="$4" repo="${5:-}" work run
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' RETURN
  [ -z "$repo" ] || export SOURCE_DATE_EPOCH="$(git -C "$repo" log -1 --format=%ct)"
  for run in one two; do
    "$qmkpack" setup -q --stub "$stub" "$work/$run.exe" "$dir"
    check "setup by hand ($run)" $?
    cmp "$work/$run.exe" "$setup"
    check "the installer made by hand is the build's ($run)" $?
  done
}

reproducible() {
  local src="$1" toolchain="$2" work
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' RETURN
  for b in one two; do
    cmake -S "$src" -B "$work/$b" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=MinSizeRel \
      -DQMK_BUILD_TESTS=OFF >"$work/$b.log" 2>&1 &&
      cmake --build "$work/$b" --target QuellmarkSetup QuellmarkStub -j2 >>"$work/$b.log" 2>&1
    check "build $b" $? "see below"
    [ -f "$work/$b/QuellmarkSetup.exe" ] || tail -20 "$work/$b.log"
  done
  cmp "$work/one/QuellmarkSetup.exe" "$work/two/QuellmarkSetup.exe"
  check "two builds of the installer are byte-identical" $?
  cmp "$work/one/QuellmarkStub.exe" "$work/two/QuellmarkStub.exe"
  check "two builds of the stub are byte-identical" $?
}

case "${1:-}" in
  pe) pe_checks "$2" "$3" "$4" ;;
  handmade) handmade "$2" "$3" "$4" "$5" "${6:-}" ;;
  reproducible) reproducible "$2" "$3" ;;
  *) echo "usage: $0 pe SETUP STUB PAYLOAD | handmade SETUP STUB QMKPACK DIR [REPO] | reproducible SOURCE_DIR TOOLCHAIN" >&2
     exit 2 ;;
esac
echo "$pass passed, $fail failed"
[ "$fail" = 0 ]

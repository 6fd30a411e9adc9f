#!/usr/bin/env bash
# Checks of the built installer that need no Windows.
#   installer_build_test.sh pe SETUP.exe STUB.exe PAYLOAD.ace
#   installer_build_test.sh handmade SETUP.exe STUB.exe QMKPACK DIR [REPO]
#   installer_build_test.sh reproducible SOURCE_DIR TOOLCHAIN_FILE
#   installer_build_test.sh icons QMK.exe
# shellcheck source=support/expect.sh
. "$(dirname "$0")/support/expect.sh"
mode="${1:-}"
shift
case "$mode" in
icons)
  # Icon number 2 of the demo program, which the Uninstall shortcut names, is
  # the bin: of the three 32x32 pictures only it has red pixels (its cross).
  for n in 1 2 3; do
    wrestool -x --type=14 --name=$n -o "$n.ico" "$1" && icotool -x -w 32 -o - "$n.ico" | convert png:- -depth 8 rgba:- |
      od -An -v -tu1 -w4 | awk '$1 > 176 && $2 < 80 && $3 < 80 && $4 > 0 { n++ } END { print n + 0 "/" NR }' >"red$n"
  done
  cases <<'CASES'
icon 0: 32x32, no red|0|cat red1|^0/1024$
icon 1: 32x32, no red|0|cat red2|^0/1024$
icon 2: 32x32, the bin's red cross|0|bash -c '[ "$(cut -d/ -f1 red3)" -gt 20 ] && cat red3'|/1024$
CASES
  ;;
pe)
  setup="$1" stub="$2" payload="$3"
  i686-w64-mingw32-objdump -p "$setup" >headers
  i686-w64-mingw32-windres -J coff -i "$setup" -O rc >rc 2>/dev/null
  awk '/DLL Name:/ {print toupper($3)}' headers | sort -u | paste -sd' ' >imports
  # DllCharacteristics DYNAMIC_BASE (0x40) and NX_COMPAT (0x100).
  cases <<'CASES'
stub at most 48 KiB|0|[ "$(stat -c %s "$stub")" -le 49152 ]|
32-bit PE|0|cat headers|file format pei-i386
Windows GUI subsystem|0|cat headers|Subsystem[[:space:]]+00000002
dynamic base and NX compatible|0|bash -c 'echo $((0x$(awk "/DllCharacteristics/ {print \$2}" headers) & 0x140))'|^320$
only system DLLs imported|0|cat imports|^ADVAPI32\.DLL KERNEL32\.DLL MSVCRT\.DLL OLE32\.DLL SHELL32\.DLL USER32\.DLL$
icon group MAINICON|0|cat rc|Name: "MAINICON"
version resource: the product|0|cat rc|VALUE "ProductName", "Quellmark"$
version resource: the description|0|cat rc|VALUE "FileDescription", "Quellmark Setup"$
manifest asks for administrator rights|0|cat rc|requestedExecutionLevel level=""requireAdministrator""
manifest names the systems supported|0|cat rc|supportedOS
payload embedded once|0|bash -c 'g=$(($(stat -c %s "$1") - $(stat -c %s "$2") - $(stat -c %s "$3"))); echo "grew $g bytes past stub and payload"; [ "$g" -ge 0 ] && [ "$g" -le 4096 ]' _ "$setup" "$stub" "$payload"|
CASES
  ;;
handmade)
  # qmkpack setup by hand, times clamped to REPO's commit, gives the build's installer byte for byte.
  [ -z "${5:-}" ] || export SOURCE_DATE_EPOCH="$(git -C "$5" log -1 --format=%ct)"
  for run in one two; do
    expect "setup by hand ($run) gives the build's installer" 0 "" \
      bash -c '"$1" setup -q --stub "$2" "$4.exe" "$3" && cmp "$4.exe" "$5"' _ "$3" "$2" "$4" "$run" "$1"
  done
  ;;
reproducible)
  for b in one two; do
    expect "build $b" 0 "" bash -c 'cmake -S "$1" -B "$3" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$2" -DCMAKE_BUILD_TYPE=MinSizeRel \
      -DQMK_BUILD_TESTS=OFF >"$3.log" 2>&1 && cmake --build "$3" --target QuellmarkSetup QuellmarkStub -j2 >>"$3.log" 2>&1 ||
      { tail -20 "$3.log"; false; }' _ "$1" "$2" "$w/$b"
  done
  for f in QuellmarkSetup QuellmarkStub; do
    expect "two builds of $f.exe are byte-identical" 0 "" cmp one/$f.exe two/$f.exe
  done
  ;;
*)
  echo "usage: $0 pe SETUP STUB PAYLOAD | handmade SETUP STUB QMKPACK DIR [REPO] | reproducible SOURCE_DIR TOOLCHAIN" >&2
  exit 2
  ;;
esac
finish

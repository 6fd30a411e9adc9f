#!/usr/bin/env bash
# Command-line test of `qmkpack setup`: the installer made from a stub and a
# payload, read back with an independent reader (support/pe_resources.py)
# and with objdump. The stub is a small program built here with MinGW that
# carries the installer's version resource. The installers are read, not
# run. Usage: setup_cmd_test.sh QMKPACK
set -u
qmkpack="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
here="$(cd "$(dirname "$0")" && pwd)"
reader="$here/support/pe_resources.py"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# shellcheck source=support/expect.sh
. "$here/support/expect.sh"

# The stubs: ours (an icon-less program with the installer's version
# resource, a manifest and a named resource), one without that version
# resource, and a DLL with it.
cd "$work" || exit 1
cat >stub.c <<'C'
int main(void) { return 0; }
C
cat >stub.rc <<'RC'
1 24 "stub.manifest"
NAMED RCDATA "stub.c"
1 VERSIONINFO
FILEVERSION 0,1,0,0
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904B0"
    BEGIN
      VALUE "InternalName", "QuellmarkSetup"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1200
  END
END
RC
echo '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"/>' >stub.manifest
grep -v InternalName stub.rc >other.rc
for s in stub other; do
  i686-w64-mingw32-windres "$s.rc" -O coff -o "$s.res" || { echo "FAIL: windres"; exit 1; }
done
i686-w64-mingw32-gcc -s -o stub.exe stub.c stub.res && i686-w64-mingw32-gcc -s -o other.exe stub.c other.res &&
  i686-w64-mingw32-gcc -s -shared -o stub.dll stub.c stub.res || { echo "FAIL: cannot build the stubs"; exit 1; }

mkdir -p tree/sub && echo "a read-me" >tree/readme.txt && head -c 70000 /dev/urandom >tree/sub/data.bin
SOURCE_DATE_EPOCH=1000000000 "$qmkpack" create -q -9 tree.ace tree
echo "another payload" >tree/more.txt
SOURCE_DATE_EPOCH=1000000000 "$qmkpack" create -q -9 tree2.ace tree

# leaf FILE TYPE NAME: the reader's line for one resource.
leaf() { python3 "$reader" "$1" | awk -v t="$2" -v n="$3" '$1 == "leaf" && $2 == t && $3 == n'; }
# facts FILE: the checksum and SizeOfImage agree, each section in place.
facts() {
  local out
  out="$(python3 "$reader" "$1")" || return 1
  awk '$1 == "checksum" || $1 == "image" { if ($2 != $3) bad = 1 } END { exit bad }' <<<"$out"
}

expect "setup from an archive" 0 "^setup.exe: [0-9]+ bytes" "$qmkpack" setup --stub stub.exe setup.exe tree.ace
check "headers: checksum and image size recomputed, sections aligned" facts setup.exe
python3 "$reader" setup.exe 10 10 payload.out >/dev/null && python3 "$reader" setup.exe 10 11 seal.out >/dev/null
check "RCDATA 10 is the archive, byte for byte" cmp -s payload.out tree.ace
"$qmkpack" seal -q tree.ace seal.want
check "RCDATA 11 is its seal" cmp -s seal.out seal.want
check "the payload starts on a page of the file" [ $(($(leaf setup.exe 10 10 | cut -d' ' -f5) % 4096)) = 0 ]
for r in "24 1" "NAMED 10" "16 1"; do
  check "the stub's resource $r is kept byte for byte" \
    bash -c 'python3 "$1" "$2" $3 a.out >/dev/null && python3 "$1" "$4" $3 b.out >/dev/null && cmp -s a.out b.out' _ \
    "$reader" stub.exe "$r" setup.exe
done
check "objdump walks the whole resource tree" \
  bash -c 'i686-w64-mingw32-objdump -p setup.exe | grep -q "String table starts at offset"'

# Again over the installer: the payload is replaced, not added.
expect "setup over an installer replaces its payload" 0 "^$" "$qmkpack" setup -q -f --stub setup.exe setup2.exe tree2.ace
python3 "$reader" setup2.exe 10 10 payload2.out >/dev/null
check "one payload, the new one" bash -c '[ "$(python3 "$1" setup2.exe | grep -Ec "^leaf 10 1[01] ")" = 2 ] && cmp -s payload2.out tree2.ace' \
  _ "$reader"
check "headers of the re-made installer" facts setup2.exe
# From a directory: level 9 unless told, and the same bytes every time.
SOURCE_DATE_EPOCH=1000000000 "$qmkpack" setup -q --stub stub.exe dir1.exe tree
SOURCE_DATE_EPOCH=1000000000 "$qmkpack" setup -q --stub stub.exe dir2.exe tree
check "a directory packed at level 9: the archive create -9 makes" \
  bash -c 'python3 "$1" dir1.exe 10 10 d.out >/dev/null && cmp -s d.out tree2.ace' _ "$reader"
check "same inputs, same bytes" cmp -s dir1.exe dir2.exe

# Signed after setup (Authenticode, a self-signed certificate): the
# signature covers the payload, and a signed installer given to setup again
# loses it and becomes the unsigned installer.
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 3650 \
  -subj "/CN=Quellmark Release Test" >/dev/null 2>&1
expect "osslsigncode signs the installer" 0 "Succeeded" \
  osslsigncode sign -certs cert.pem -key key.pem -n "Quellmark Setup" -h sha256 -in setup.exe -out signed.exe
expect "... and accepts the signature" 0 "Signature verification: ok" osslsigncode verify -CAfile cert.pem -in signed.exe
python3 - signed.exe tampered.exe "$(leaf signed.exe 10 10 | cut -d' ' -f5)" <<'PY'
import sys
b = bytearray(open(sys.argv[1], 'rb').read())
b[int(sys.argv[3]) + 100] ^= 0x01  # one bit of the payload
open(sys.argv[2], 'wb').write(b)
PY
expect "one changed payload bit breaks it" 1 "MISMATCH" osslsigncode verify -CAfile cert.pem -in tampered.exe
"$qmkpack" setup -q --stub signed.exe resigned.exe tree.ace
check "setup over a signed installer drops the signature" cmp -s resigned.exe setup.exe

# Without --stub: QuellmarkStub.exe beside the qmkpack that runs, also when
# it is found through PATH.
mkdir bin elsewhere && cp "$qmkpack" bin/qmkpack && cp stub.exe bin/QuellmarkStub.exe
expect "the default stub is the one beside qmkpack" 0 "^$" \
  bash -c 'cd elsewhere && PATH="$1:$PATH" qmkpack setup -q default.exe ../tree.ace' _ "$work/bin"
check "... and the same installer as with --stub" cmp -s elsewhere/default.exe setup.exe
rm bin/QuellmarkStub.exe
expect "no stub beside qmkpack: it says which file it looked for" 2 "cannot open .*bin/QuellmarkStub.exe" \
  bin/qmkpack setup default.exe tree.ace

# Refusals: nothing is written.
head -c 3000 /dev/urandom >junk.exe
head -c 1000 stub.exe >short.exe
cp tree.ace damaged.ace && printf '\x55' | dd of=damaged.ace bs=1 seek=3000 conv=notrunc status=none
python3 - stub.exe wide.exe <<'PY'
import struct, sys
b = bytearray(open(sys.argv[1], 'rb').read())
pe = struct.unpack_from('<I', b, 0x3C)[0]
struct.pack_into('<H', b, pe + 4, 0x8664)  # an x86-64 machine
open(sys.argv[2], 'wb').write(b)
PY
while IFS='|' read -r what stub input pattern status; do
  rm -f refused.exe
  expect "refused: $what" "$status" "$pattern" "$qmkpack" setup --stub "$stub" refused.exe "$input"
  check "nothing left for: $what" [ ! -e refused.exe ]
done <<'CASES'
not a program|junk.exe|tree.ace|not a Windows program|2
a 64-bit program|wide.exe|tree.ace|not a 32-bit Windows program|2
a DLL|stub.dll|tree.ace|a DLL, not the installer stub|2
another program|other.exe|tree.ace|not the Quellmark installer stub|2
a damaged payload|stub.exe|damaged.ace|damaged or holds a name the installer refuses; no installer made|1
a missing stub|missing.exe|tree.ace|cannot open missing.exe|2
a truncated stub|short.exe|tree.ace|a section reaches past its end|2
CASES
expect "an existing installer is kept without -f" 2 "setup.exe already exists; use -f" \
  "$qmkpack" setup --stub stub.exe setup.exe tree2.ace
check "... and unchanged" bash -c 'python3 "$1" setup.exe 10 10 k.out >/dev/null && cmp -s k.out tree.ace' _ "$reader"
expect "--stub without setup" 2 "go with 'create' and 'setup'" "$qmkpack" --stub stub.exe list tree.ace

echo "$pass passed, $fail failed"
[ "$fail" = 0 ]

#!/usr/bin/env bash
# Command-line test of `qmkpack setup`: installers made from a stub built
# here with MinGW and payloads packed here, read back with icoutils'
# wrestool, objdump, osslsigncode and a reader of the headers below; read,
# not run. Usage: setup_cmd_test.sh QMKPACK
# shellcheck source=support/expect.sh
. "$(dirname "$0")/support/expect.sh"

# The stub: a program with a manifest, a named resource and a version
# resource naming the installer (all that is looked for in it). Patched: a
# 64-bit one, a DLL, one whose version resource names another program.
echo 'int main(void) { return 0; }' >stub.c
printf '%s\n' '1 24 { "<assembly/>" }' 'NAMED RCDATA { "a named resource" }' '1 16 { L"QuellmarkSetup" }' >stub.rc
i686-w64-mingw32-windres stub.rc stub.o && i686-w64-mingw32-gcc -s -o stub.exe stub.c stub.o ||
  { echo "FAIL: cannot build the stub"; exit 1; }
pe=$(od -An -tu4 -j 60 -N 4 stub.exe)
cp stub.exe wide.exe && printf '\x64\x86' | dd of=wide.exe bs=1 seek=$((pe + 4)) conv=notrunc status=none
cp stub.exe stub.dll && flip stub.dll $((pe + 23)) 0x20
LC_ALL=C sed 's/Q\x00u\x00e\x00l\x00l/X\x00u\x00e\x00l\x00l/' stub.exe >other.exe

mkdir -p tree/sub && echo "a read-me" >tree/readme.txt && head -c 70000 /dev/urandom >tree/sub/data.bin
SOURCE_DATE_EPOCH=1000000000 "$q" create -q -9 tree.ace tree
echo "another payload" >tree/more.txt
SOURCE_DATE_EPOCH=1000000000 "$q" create -q -9 tree2.ace tree
"$q" seal -q tree.ace seal.want
cp tree.ace damaged.ace && flip damaged.ace 3000
head -c 1000 stub.exe >short.exe
head -c 3000 /dev/urandom >junk.exe

# res FILE TYPE NAME: the bytes of one resource.
res() { wrestool -x --raw --type="$2" --name="$3" "$1"; }
# resources FILE: type, name and language of each resource, in the file's order.
resources() { wrestool -l "$1" | sed 's/ \[.*//' | paste -sd' '; }
# at FILE PART: where PART's bytes begin in FILE (-1: nowhere).
at() { python3 -c 'import sys; print(open(sys.argv[1], "rb").read().find(open(sys.argv[2], "rb").read()))' "$1" "$2"; }
# headers FILE: sections aligned and within the file, SizeOfImage as the
# last section needs, the resource and relocation directories on their
# sections; and a checksum osslsigncode finds right.
headers() {
  ! osslsigncode verify -in "$1" | grep -q "invalid PE checksum" && python3 - "$1" <<'PY'
import struct, sys
b = open(sys.argv[1], 'rb').read()
pe = struct.unpack_from('<I', b, 0x3C)[0]
count, optsize = struct.unpack_from('<H', b, pe + 6)[0], struct.unpack_from('<H', b, pe + 20)[0]
opt = pe + 24
salign, falign = struct.unpack_from('<II', b, opt + 32)
dirs = [struct.unpack_from('<II', b, opt + 96 + 8 * k) for k in range(16)]
sections = {}
for i in range(count):
    name, vsize, rva, rawsize, raw = struct.unpack_from('<8sIIII', b, opt + optsize + 40 * i)
    assert rva % salign == 0 and raw % falign == 0 and raw + rawsize <= len(b), name
    sections[name.rstrip(b'\0')] = (rva, vsize)
assert struct.unpack_from('<I', b, opt + 56)[0] == (rva + vsize + salign - 1) // salign * salign, 'SizeOfImage'
for name, k in ((b'.rsrc', 2), (b'.reloc', 5)):
    assert dirs[k][0] == sections[name][0] and dirs[k][1] <= sections[name][1], name
PY
}
# The stub's resources, and the payload (RCDATA 10) and its seal (11) in the
# version resource's language: names before numbers, each in order.
held="--type=10 --name='NAMED' --language=1033 --type=10 --name=10 --language=1033 \
--type=10 --name=11 --language=1033 --type=16 --name=1 --language=1033 --type=24 --name=1 --language=1033"

cases <<'CASES'
setup from an archive|0|"$q" setup --stub stub.exe setup.exe tree.ace|^setup\.exe: [0-9]+ bytes, the stub and a [0-9]+-byte payload$
... its headers|0|headers setup.exe|
... its resources|0|[ "$(resources setup.exe)" = "$held" ]|
... RCDATA 10 the archive, byte for byte|0|cmp <(res setup.exe 10 10) tree.ace|
... RCDATA 11 its seal|0|cmp <(res setup.exe 10 11) seal.want|
... the payload on a page of the file|0|bash -c 'echo $(($1 % 4096))' _ "$(at setup.exe tree.ace)"|^0$
... the stub's manifest kept byte for byte|0|cmp <(res stub.exe 24 1) <(res setup.exe 24 1)|
... its named resource|0|cmp <(res stub.exe 10 NAMED) <(res setup.exe 10 NAMED)|
... its version resource|0|cmp <(res stub.exe 16 1) <(res setup.exe 16 1)|
... objdump walks the whole resource tree|0|i686-w64-mingw32-objdump -p setup.exe|String table starts at offset
setup over an installer replaces its payload|0|"$q" setup -q -f --stub setup.exe setup2.exe tree2.ace|^$
... its headers|0|headers setup2.exe|
... its resources|0|[ "$(resources setup2.exe)" = "$held" ]|
... the new payload|0|cmp <(res setup2.exe 10 10) tree2.ace|
setup from a directory|0|env SOURCE_DATE_EPOCH=1000000000 "$q" setup -q --stub stub.exe dir1.exe tree|^$
... packed at level 9 unless told|0|cmp <(res dir1.exe 10 10) tree2.ace|
... the same bytes every time|0|bash -c 'SOURCE_DATE_EPOCH=1000000000 "$1" setup -q --stub stub.exe dir2.exe tree && cmp dir1.exe dir2.exe' _ "$q"|
... -1 when told|0|bash -c '"$1" setup -q -1 --stub stub.exe dir3.exe tree && "$1" create -q -1 tree3.ace tree && cmp <(wrestool -x --raw --type=10 --name=10 dir3.exe) tree3.ace' _ "$q"|
an existing installer is kept without -f|2|"$q" setup --stub stub.exe setup.exe tree2.ace|setup\.exe already exists; use -f
... unchanged|0|cmp <(res setup.exe 10 10) tree.ace|
--stub without setup|2|"$q" --stub stub.exe list tree.ace|go with 'create' and 'setup'
setup operands|2|"$q" setup x.exe|expected an output installer and a directory or archive
CASES

# Signed after setup (Authenticode, a self-signed certificate): the
# signature covers the payload, and a signed installer given to setup again
# loses it and becomes the unsigned installer.
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 3650 \
  -subj "/CN=Quellmark Release Test" >/dev/null 2>&1
osslsigncode sign -certs cert.pem -key key.pem -n "Quellmark Setup" -h sha256 -in setup.exe -out signed.exe >/dev/null
cp signed.exe tampered.exe && flip tampered.exe $(($(at signed.exe tree.ace) + 100))
# Without --stub: QuellmarkStub.exe beside the qmkpack that runs, also when
# it is found through PATH.
mkdir bin elsewhere && cp "$q" bin/qmkpack && cp stub.exe bin/QuellmarkStub.exe
cases <<'CASES'
osslsigncode accepts the signature|0|osslsigncode verify -CAfile cert.pem -in signed.exe|Signature verification: ok
one changed payload bit breaks it|1|osslsigncode verify -CAfile cert.pem -in tampered.exe|MISMATCH
setup over a signed installer drops the signature|0|bash -c '"$1" setup -q --stub signed.exe resigned.exe tree.ace && cmp resigned.exe setup.exe' _ "$q"|
the default stub is the one beside qmkpack|0|bash -c 'cd elsewhere && PATH="$1:$PATH" qmkpack setup -q default.exe ../tree.ace' _ "$w/bin"|^$
... and the same installer as with --stub|0|cmp elsewhere/default.exe setup.exe|
no stub beside qmkpack: the file it looked for|2|bash -c 'rm bin/QuellmarkStub.exe && bin/qmkpack setup default.exe tree.ace'|cannot open .*bin/QuellmarkStub\.exe
CASES

# Refusals: nothing is written.
# WHAT|STUB|INPUT|STATUS|PATTERN
while IFS='|' read -r what stub input status pattern; do
  expect "refused: $what" "$status" "$pattern" "$q" setup --stub "$stub" refused.exe "$input"
  expect "... nothing left" 0 "" [ ! -e refused.exe ]
done <<'CASES'
not a program|junk.exe|tree.ace|2|not a Windows program
a 64-bit program|wide.exe|tree.ace|2|not a 32-bit Windows program
a DLL|stub.dll|tree.ace|2|a DLL, not the installer stub
another program|other.exe|tree.ace|2|not the Quellmark installer stub
a damaged payload|stub.exe|damaged.ace|1|damaged or holds a name the installer refuses; no installer made
a missing stub|missing.exe|tree.ace|2|cannot open missing.exe
a truncated stub|short.exe|tree.ace|2|a section reaches past its end
CASES

finish

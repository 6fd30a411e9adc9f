#!/usr/bin/env bash
# Command-line test of `qmkpack setup` over a stub built here, read back, not run.
# Usage: setup_cmd_test.sh QMKPACK
# shellcheck source=support/expect.sh
. "$(dirname "$0")/support/expect.sh"

# The stub (one without relocations too, its resources last), and patched: a 64-bit one,
# a DLL, one whose version resource names another program.
echo 'int main(void) { return 0; }' >stub.c
printf '%s\n' '1 24 { "<assembly/>" }' 'NAMED RCDATA { "a named resource" }' '1 16 { L"QuellmarkSetup" }' \
  '1 NAMEDTYPE { "a resource of a named type" }' >stub.rc
i686-w64-mingw32-windres stub.rc stub.o && i686-w64-mingw32-gcc -s -o stub.exe stub.c stub.o &&
  i686-w64-mingw32-gcc -s -Wl,--disable-reloc-section -o norelocs.exe stub.c stub.o || { echo "FAIL: cannot build the stub"; exit 1; }
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

res() { wrestool -x --raw --type="$2" --name="$3" "$1"; }
resources() { wrestool -l "$1" | sed 's/ \[.*//' | paste -sd' '; }
names_read() { i686-w64-mingw32-objdump -p "$1" | grep -cE '\]: NAMED(TYPE)?, '; }
at() { python3 -c 'import sys; print(open(sys.argv[1], "rb").read().find(open(sys.argv[2], "rb").read()))' "$1" "$2"; }
# wellformed FILE: checksum, resources, sections, SizeOfImage and directories as Windows needs.
wellformed() {
  ! osslsigncode verify -in "$1" | grep -q "invalid PE checksum" && [ "$(resources "$1")" = "$held" ] && python3 - "$1" <<'PY'
import struct, sys
b = open(sys.argv[1], 'rb').read()
u = lambda form, at: struct.unpack_from(form, b, at)
pe = u('<I', 0x3C)[0]
_, count, _, _, _, optsize = u('<HHIIIH', pe + 4)
opt, sections = pe + 24, {}
salign, falign = u('<II', opt + 32)
dirs = [u('<II', opt + 96 + 8 * k) for k in range(16)]
for i in range(count):
    name, vsize, rva, rawsize, raw = u('<8sIIII', opt + optsize + 40 * i)
    assert rva % salign == 0 and raw % falign == 0 and raw + rawsize <= len(b), name
    sections[name.rstrip(b'\0')] = (rva, vsize)
assert u('<I', opt + 56)[0] == (rva + vsize + salign - 1) // salign * salign, 'SizeOfImage'
for name, k in ((b'.rsrc', 2), (b'.reloc', 5)):
    assert dirs[k][0] == sections.get(name, (0, 0))[0] and dirs[k][1] <= sections.get(name, (0, 0))[1], name
PY
}
export -f res
# The stub's resources and the payload (RCDATA 10) and seal (11), names before numbers.
held="--type='NAMEDTYPE' --name=1 --language=1033 --type=10 --name='NAMED' --language=1033 --type=10 --name=10 --language=1033 \
--type=10 --name=11 --language=1033 --type=16 --name=1 --language=1033 --type=24 --name=1 --language=1033"
refuse() { "$q" setup --stub "$1" refused.exe "$2"; local rc=$?; [ ! -e refused.exe ] || rc=99; return $rc; }

expect "setup from an archive" 0 "^setup\.exe: [0-9]+ bytes, the stub and a [0-9]+-byte payload$" "$q" setup --stub stub.exe setup.exe tree.ace
# Signed after setup: the signature covers the payload; setup again drops it.
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 3650 \
  -subj "/CN=Quellmark Release Test" >/dev/null 2>&1
osslsigncode sign -certs cert.pem -key key.pem -n "Quellmark Setup" -h sha256 -in setup.exe -out signed.exe >/dev/null
cp signed.exe tampered.exe && flip tampered.exe $(($(at signed.exe tree.ace) + 100))
# Without --stub: QuellmarkStub.exe beside qmkpack, also when found through PATH.
mkdir bin elsewhere && cp "$q" bin/qmkpack && cp stub.exe bin/QuellmarkStub.exe
"$q" setup -q --stub norelocs.exe norelocs-setup.exe tree.ace

cases <<'CASES'
... well-formed|0|wellformed setup.exe|
... RCDATA 10 the archive, byte for byte, and 11 its seal|0|bash -c 'cmp <(res setup.exe 10 10) tree.ace && cmp <(res setup.exe 10 11) seal.want'|
... the payload on a page of the file|0|bash -c 'echo $(($1 % 4096))' _ "$(at setup.exe tree.ace)"|^0$
... the stub's manifest, named and version resources kept byte for byte|0|bash -ec 'for r in "24 1" "10 NAMED" "16 1" "NAMEDTYPE 1"; do cmp <(res stub.exe $r) <(res setup.exe $r); done'|
... objdump walks the whole resource tree and reads both names|0|names_read setup.exe|^2$
a stub whose resources are its last section: well-formed|0|wellformed norelocs-setup.exe|
setup over an installer replaces its payload|0|bash -c '"$1" setup -q -f --stub setup.exe setup2.exe tree2.ace && cmp <(res setup2.exe 10 10) tree2.ace' _ "$q"|^$
... well-formed|0|wellformed setup2.exe|
setup from a directory, packed at level 9 unless told|0|bash -c 'SOURCE_DATE_EPOCH=1000000000 "$1" setup -q --stub stub.exe dir1.exe tree && cmp <(res dir1.exe 10 10) tree2.ace' _ "$q"|^$
... the same bytes every time|0|bash -c 'SOURCE_DATE_EPOCH=1000000000 "$1" setup -q --stub stub.exe dir2.exe tree && cmp dir1.exe dir2.exe' _ "$q"|
... -1 when told|0|bash -c '"$1" setup -q -1 --stub stub.exe dir3.exe tree && "$1" create -q -1 tree3.ace tree && cmp <(res dir3.exe 10 10) tree3.ace' _ "$q"|
an existing installer is kept without -f|2|bash -c '"$1" setup --stub stub.exe setup.exe tree2.ace; rc=$?; cmp <(res setup.exe 10 10) tree.ace && exit $rc' _ "$q"|setup\.exe already exists; use -f
--stub without setup|2|"$q" --stub stub.exe list tree.ace|go with 'create' and 'setup'
setup operands|2|"$q" setup x.exe|expected an output installer and a directory or archive
osslsigncode accepts the signature|0|osslsigncode verify -CAfile cert.pem -in signed.exe|Signature verification: ok
one changed payload bit breaks it|1|osslsigncode verify -CAfile cert.pem -in tampered.exe|MISMATCH
setup over a signed installer drops the signature|0|bash -c '"$1" setup -q --stub signed.exe resigned.exe tree.ace && cmp resigned.exe setup.exe' _ "$q"|
the default stub is the one beside qmkpack, the same installer|0|bash -c 'cd elsewhere && PATH="$1:$PATH" qmkpack setup -q default.exe ../tree.ace && cmp default.exe ../setup.exe' _ "$w/bin"|^$
no stub beside qmkpack: the file it looked for|2|bash -c 'rm bin/QuellmarkStub.exe && bin/qmkpack setup default.exe tree.ace'|cannot open .*bin/QuellmarkStub\.exe
refused: not a program|2|refuse junk.exe tree.ace|not a Windows program
refused: a 64-bit program|2|refuse wide.exe tree.ace|not a 32-bit Windows program
refused: a DLL|2|refuse stub.dll tree.ace|a DLL, not the installer stub
refused: another program|2|refuse other.exe tree.ace|not the Quellmark installer stub
refused: a damaged payload|1|refuse stub.exe damaged.ace|damaged or holds a name the installer refuses; no installer made
refused: a truncated stub|2|refuse short.exe tree.ace|a section reaches past its end
CASES

finish

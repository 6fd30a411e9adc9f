#!/usr/bin/env bash
# Command-line test of qmkpack: arguments, messages and exit codes, over the
# sample archive that make_sample writes. Usage: cli_test.sh QMKPACK MAKE_SAMPLE
set -u
qmkpack="$1"
make_sample="$2"
work="$(mktemp -d)"
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
# shellcheck source=support/expect.sh
. "$(dirname "$0")/support/expect.sh"

"$make_sample" "$work/sample.ace" || { echo "FAIL: make_sample"; exit 1; }

expect "help" 0 "Usage: qmkpack COMMAND" "$qmkpack" --help
expect "version" 0 "^qmkpack [0-9]+\.[0-9]+" "$qmkpack" --version
expect "no command" 2 "no command given" "$qmkpack"
expect "unknown command" 2 "unknown command 'frobnicate'" "$qmkpack" frobnicate x
expect "unknown option" 2 "unknown option '--bogus'" "$qmkpack" --bogus list x
expect "missing operand" 2 "expected an archive and a target directory" "$qmkpack" extract "$work/sample.ace"
expect "missing file" 2 "cannot open .*nonexistent.ace" "$qmkpack" list "$work/nonexistent.ace"
expect "directory as archive" 2 "cannot (open|read)" "$qmkpack" list "$work"
head -c 5000 /dev/urandom | tr -d '*' >"$work/junk.bin"
expect "no archive" 2 "no archive found" "$qmkpack" test "$work/junk.bin"

expect "list" 0 "Plugins\\\\notes.txt" "$qmkpack" list "$work/sample.ace"
expect "list comment" 0 "Comment: Quellmark sample archive" "$qmkpack" list "$work/sample.ace"
expect "test" 0 "6 entries tested, 0 damaged, archive is intact" "$qmkpack" test "$work/sample.ace"
expect "test quiet" 0 "^$" "$qmkpack" -q test "$work/sample.ace"

size=$(stat -c %s "$work/sample.ace")
head -c $((size - 10)) "$work/sample.ace" >"$work/cut.ace"
expect "truncated" 1 "cut short" "$qmkpack" test "$work/cut.ace"
cp "$work/sample.ace" "$work/flip.ace"
printf '\x55' | dd of="$work/flip.ace" bs=1 seek=$((size / 2)) conv=notrunc status=none
expect "damaged data" 1 "damaged|CRC|bad|invalid|decoded|end before" "$qmkpack" test "$work/flip.ace"

expect "seal" 0 "every entry intact; sealed in" "$qmkpack" seal "$work/sample.ace" "$work/sample.seal"
if [ "$(head -c 4 "$work/sample.seal")" = QMKS ] && [ "$(stat -c %s "$work/sample.seal")" = 12 ]; then
  pass=$((pass + 1))
else
  fail=$((fail + 1))
  echo "FAIL: seal file is not 12 bytes starting with QMKS"
fi
expect "seal damaged" 1 "damaged .*not sealed" "$qmkpack" seal "$work/flip.ace" "$work/flip.seal"
if [ -e "$work/flip.seal" ]; then
  fail=$((fail + 1))
  echo "FAIL: a damaged archive got a seal file"
fi
expect "seal operands" 2 "expected an archive and the seal file to write" "$qmkpack" seal "$work/sample.ace"
expect "extract" 0 "file  readme.txt" "$qmkpack" extract "$work/sample.ace" "$work/out"
if [ -f "$work/out/Plugins/notes.txt" ] && [ -f "$work/out/data.bin" ] && [ -f "$work/out/empty.txt" ] &&
   cmp -s "$work/out/Plugins/notes.txt" "$work/out/Plugins/copy.txt"; then
  pass=$((pass + 1))
else
  fail=$((fail + 1))
  echo "FAIL: extracted tree"
fi

# create: a real folder (this test's own directory and the sample output),
# then list, test, extract and compare the trees.
mkdir -p "$work/tree/sub dir"
cp "$0" "$work/tree/"
cp -r "$work/out" "$work/tree/sub dir/"
head -c 100000 /dev/urandom >"$work/tree/noise.bin"
: >"$work/tree/empty"
expect "create" 0 "^$" "$qmkpack" create -9 -q "$work/made.ace" "$work/tree"
expect "create list" 0 "noise.bin" "$qmkpack" list "$work/made.ace"
expect "create test" 0 "archive is intact" "$qmkpack" test "$work/made.ace"
expect "create extract" 0 "file  noise.bin" "$qmkpack" extract "$work/made.ace" "$work/back"
if diff -r "$work/tree" "$work/back" >/dev/null; then
  pass=$((pass + 1))
else
  fail=$((fail + 1))
  echo "FAIL: extracted tree differs from the packed one"
  diff -r "$work/tree" "$work/back" | head -5
fi
expect "create comment" 0 "Comment: hello from the CLI" \
  bash -c '"$1" create -1 -q --comment "hello from the CLI" "$2/c.ace" "$3" && "$1" list "$2/c.ace"' _ "$qmkpack" "$work" "$work/tree"
SOURCE_DATE_EPOCH=1000000000 "$qmkpack" create -q "$work/r1.ace" "$work/tree"
touch "$work/tree/empty"
SOURCE_DATE_EPOCH=1000000000 "$qmkpack" create -q "$work/r2.ace" "$work/tree"
if cmp -s "$work/r1.ace" "$work/r2.ace"; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAIL: SOURCE_DATE_EPOCH builds differ"; fi
expect "create missing dir" 2 "is not a directory" "$qmkpack" create -q "$work/x.ace" "$work/nonexistent"

# An existing output is kept unless -f; messages name the paths given, never
# the temporary file the archive is written to.
cp "$work/made.ace" "$work/kept.ace"
expect "create onto an existing file" 2 "kept.ace already exists; use -f to overwrite it" \
  "$qmkpack" create -q "$work/kept.ace" "$work/tree/sub dir"
check "the existing file is untouched" cmp -s "$work/made.ace" "$work/kept.ace"
expect "create -f replaces it" 0 "^$" "$qmkpack" create -q -f "$work/kept.ace" "$work/tree/sub dir"
check "the replaced file holds the new tree, nothing left beside it" \
  bash -c '! cmp -s "$1" "$2" && [ -z "$(ls "$3" | grep "^kept\.ace.")" ]' _ "$work/made.ace" "$work/kept.ace" "$work"
expect "create into a missing directory" 2 "^qmkpack: cannot create $work/no/such/dir/x.ace: No such file or directory$" \
  "$qmkpack" create -q "$work/no/such/dir/x.ace" "$work/tree"

# Anything that is not a file or a directory stops create, with its path;
# links to files and directories are followed. Each case is one tree.
# CASE: what to put in the tree; PATTERN: the message.
while IFS='|' read -r what make pattern; do
  rm -rf "$work/odd" "$work/odd.ace"
  mkdir -p "$work/odd/dir"
  echo "plain" >"$work/odd/plain.txt"
  (cd "$work/odd" && eval "$make")
  expect "create of a tree with $what" 2 "$pattern" "$qmkpack" create -q "$work/odd.ace" "$work/odd"
  check "no archive left for $what" bash -c '[ -z "$(ls "$1" | grep "^odd\.ace")" ]' _ "$work"
done <<'CASES'
a FIFO|mkfifo dir/pipe|odd/dir/pipe: cannot be packed: a FIFO
a socket|python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind("sock")'|odd/sock: cannot be packed: a socket
a link to a device|ln -s /dev/null dev|odd/dev: cannot be packed: a symbolic link to something that is neither
a dangling link|ln -s nowhere dir/gone|odd/dir/gone: cannot be packed: a symbolic link that leads nowhere
a link loop|ln -s loop2 loop1 && ln -s loop1 loop2|odd/loop1: cannot be packed: a symbolic link that leads nowhere \(Too many levels
a link to its own parent|ln -s .. dir/up|odd/dir/up: a symbolic link loop \(it leads back to .*odd\)
names that are one on Windows|echo a >README.txt && echo b >readme.txt|odd/README.txt and .*odd/readme.txt: the same name on Windows
a backslash in a name|echo x >'a\b'|odd/a\\b: a '\\' in the name
a name ending in a dot|echo x >'trail.'|odd/trail.: cannot be extracted safely: path component ending in a dot
CASES
rm -rf "$work/odd" && mkdir -p "$work/odd/real"
echo "linked file" >"$work/odd/real/f.txt"
ln -s real "$work/odd/dirlink"
ln -s real/f.txt "$work/odd/filelink"
expect "create follows links" 0 "^$" "$qmkpack" create -q "$work/links.ace" "$work/odd"
expect "links packed as what they point at" 0 "dirlink\\\\f\.txt" "$qmkpack" list "$work/links.ace"
expect "create bad epoch" 2 "SOURCE_DATE_EPOCH must be" env SOURCE_DATE_EPOCH=soon "$qmkpack" create -q "$work/x.ace" "$work/tree"
expect "level without create" 2 "compression options and -f go with 'create' and 'setup'" "$qmkpack" -9 list "$work/made.ace"
expect "create operands" 2 "expected an output archive and a directory" "$qmkpack" create "$work/x.ace"

# extract: one message per failure with the system's reason; the entries
# below a directory that could not be made are counted once.
mkdir -p "$work/blocked"
echo "in the way" >"$work/blocked/Plugins"
expect "extract below a file in the way" 1 "Plugins: a file stands where a directory is needed" \
  "$qmkpack" extract "$work/sample.ace" "$work/blocked"
out="$("$qmkpack" extract "$work/sample.ace" "$work/blocked" 2>&1)"
check "one message for the blocked directory" [ "$(grep -c 'a file stands' <<<"$out")" = 1 ]
check "the entries below it counted" grep -q "^qmkpack: Plugins: 3 entries not extracted, as the directory could not be made$" <<<"$out"
check "the other entries extracted" [ -f "$work/blocked/readme.txt" ]
# As a user who may not write there (root may write anywhere).
mkdir -p "$work/ro" && chmod 555 "$work/ro" && chmod 755 "$work"
cp "$qmkpack" "$work/qmkpack-copy" && chmod 755 "$work/qmkpack-copy" && chmod 644 "$work/sample.ace"
as_user=()
[ "$(id -u)" != 0 ] || as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
expect "extract into a directory that cannot be written" 1 \
  "^qmkpack: cannot create directory Plugins: Permission denied$" \
  "${as_user[@]}" "$work/qmkpack-copy" -q extract "$work/sample.ace" "$work/ro"
out="$("${as_user[@]}" "$work/qmkpack-copy" -q extract "$work/sample.ace" "$work/ro" 2>&1)"
check "each failure told once, with its reason" \
  [ "$(grep -vc ': Permission denied$\|entries not extracted' <<<"$out")" = 0 ]
expect "create into a directory that cannot be written" 2 "^qmkpack: cannot create $work/ro/out.ace: Permission denied$" \
  "${as_user[@]}" "$work/qmkpack-copy" create -q "$work/ro/out.ace" "$work/tree/sub dir"

# Messages in the singular and the plural; an empty file said so.
: >"$work/empty.ace"
expect "empty file" 2 "empty.ace: empty file, not an archive" "$qmkpack" test "$work/empty.ace"
mkdir -p "$work/one" && echo one >"$work/one/only.txt"
"$qmkpack" create -q "$work/one.ace" "$work/one"
expect "one entry tested" 0 "one.ace: 1 entry tested, 0 damaged" "$qmkpack" test "$work/one.ace"
expect "one entry listed" 0 " 1 entry$" "$qmkpack" list "$work/one.ace"
expect "more entries" 0 " 5 entries$" "$qmkpack" list "$work/links.ace"

echo "$pass passed, $fail failed"
[ "$fail" = 0 ]

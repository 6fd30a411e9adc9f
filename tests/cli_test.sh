#!/usr/bin/env bash
# Command-line test of qmkpack: arguments, messages and exit codes, over the
# sample archive that make_sample writes. Usage: cli_test.sh QMKPACK MAKE_SAMPLE
set -u
qmkpack="$1"
make_sample="$2"
work="$(mktemp -d)"
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
pass=0
fail=0

# expect NAME STATUS PATTERN CMD...: runs CMD, checks its exit status and
# that its combined output matches PATTERN (an extended regex).
expect() {
  local name="$1" status="$2" pattern="$3"
  shift 3
  local out rc
  out="$("$@" 2>&1)"
  rc=$?
  if [ "$rc" = "$status" ] && grep -Eq -- "$pattern" <<<"$out"; then
    pass=$((pass + 1))
  else
    fail=$((fail + 1))
    echo "FAIL: $name (exit $rc, wanted $status; pattern '$pattern')"
    echo "$out" | head -20 | sed 's/^/    /'
  fi
}

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
expect "create unwritable" 2 "cannot create" "$qmkpack" create -q "$work/no/such/dir/x.ace" "$work/tree"
expect "create bad epoch" 2 "SOURCE_DATE_EPOCH must be" env SOURCE_DATE_EPOCH=soon "$qmkpack" create -q "$work/x.ace" "$work/tree"
expect "level without create" 2 "compression options go with 'create'" "$qmkpack" -9 list "$work/made.ace"
expect "create operands" 2 "expected an output archive and a directory" "$qmkpack" create "$work/x.ace"

echo "$pass passed, $fail failed"
[ "$fail" = 0 ]

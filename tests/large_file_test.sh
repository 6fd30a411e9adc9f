#!/usr/bin/env bash
# Some 320 MiB of text, noise and runs through create, test, list and extract.
# Usage: large_file_test.sh QMKPACK
# shellcheck source=support/expect.sh
. "$(dirname "$0")/support/expect.sh"

mkdir -p "$w/tree/sub"
head -c $((64 << 20)) /dev/urandom >"$w/noise"
{
  seq 1 12000000                                # 86 MB of numbered lines
  cat "$w/noise"
  head -c $((48 << 20)) /dev/zero               # one long run
  seq 5000000 9000000 | tr 0-9 5-90-4           # 31 MB of other lines
  head -c $((40 << 20)) "$w/noise"              # noise seen 130 MB ago, out of reach
  head -c $((40 << 20)) "$w/noise" | tail -c $((700 << 10))  # ... and seen just now
  seq 1 6000000 | tr 0-9 a-j                    # 45 MB of the first lines, altered
} >"$w/tree/sub/big.bin"
rm -f "$w/noise"
echo "small" >"$w/tree/small.txt"
size=$(stat -c %s "$w/tree/sub/big.bin")
for level in 1 5; do
  expect "create -$level, smaller than 150 MiB" 0 "^$" bash -c '"$1" create -q -f -$2 "$3" "$4" && [ $(stat -c %s "$3") -le $((150 << 20)) ]' \
    _ "$q" "$level" "$w/big.ace" "$w/tree"
  expect "... test" 0 "3 entries tested, 0 damaged, archive is intact" "$q" test "$w/big.ace"
  expect "... list" 0 "^ +$size +[0-9]+ .*sub.big\.bin$" "$q" list "$w/big.ace"
  expect "... extract" 0 "" bash -c 'rm -rf "$3" && "$1" -q extract "$2" "$3" && diff -r "$4" "$3"' _ "$q" "$w/big.ace" "$w/back" "$w/tree"
done
finish

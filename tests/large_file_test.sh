#!/usr/bin/env bash
# A file of several hundred MiB through the command line, as a user would
# pack one: create at levels 1 and 5, test, extract, compare. The file
# mixes text-like stretches, noise and a long run, and repeats noise from
# far out of the window's reach and from just behind. Usage:
# large_file_test.sh QMKPACK
set -u
qmkpack="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail=0

mkdir -p "$work/tree/sub"
big="$work/tree/sub/big.bin"
{
  seq 1 12000000                                # 86 MB of numbered lines
  head -c $((64 << 20)) /dev/urandom >"$work/noise"; cat "$work/noise"
  head -c $((48 << 20)) /dev/zero               # one long run
  seq 5000000 9000000 | tr 0-9 5-90-4           # 31 MB of other lines
  head -c $((40 << 20)) "$work/noise"           # noise seen 130 MB ago, out of reach
  head -c $((40 << 20)) "$work/noise" | tail -c $((700 << 10))  # ... and seen just now
  seq 1 6000000 | tr 0-9 a-j                    # 45 MB of the first lines, altered
} >"$big"
rm -f "$work/noise"
echo "small" >"$work/tree/small.txt"
size=$(stat -c %s "$big")
[ "$size" -gt $((300 << 20)) ] || { echo "FAIL: the input is only $size bytes"; exit 1; }

for level in 1 5; do
  archive="$work/big$level.ace"
  if ! "$qmkpack" create -q -$level "$archive" "$work/tree"; then
    echo "FAIL: create -$level"; fail=$((fail + 1)); continue
  fi
  packed=$(stat -c %s "$archive")
  # Noise does not shrink; the rest must, or the matches were lost.
  if [ "$packed" -gt $((150 << 20)) ]; then
    echo "FAIL: level $level packs $size bytes into $packed"; fail=$((fail + 1))
  fi
  out="$("$qmkpack" test "$archive" 2>&1)" || { echo "FAIL: test -$level: $out"; fail=$((fail + 1)); continue; }
  "$qmkpack" list "$archive" | grep -Eq "^ +$size +[0-9]+ .*sub.big\.bin$" ||
    { echo "FAIL: list -$level does not show the size $size"; fail=$((fail + 1)); }
  rm -rf "$work/back"
  if ! "$qmkpack" extract "$archive" "$work/back" >/dev/null; then
    echo "FAIL: extract -$level"; fail=$((fail + 1)); continue
  fi
  cmp "$big" "$work/back/sub/big.bin" || { echo "FAIL: level $level: the extracted file differs"; fail=$((fail + 1)); }
  cmp "$work/tree/small.txt" "$work/back/small.txt" || { echo "FAIL: level $level: small.txt differs"; fail=$((fail + 1)); }
  echo "level $level: $size -> $packed bytes"
done
[ "$fail" = 0 ] && echo "large file: passed"
[ "$fail" = 0 ]

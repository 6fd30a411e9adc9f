#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for the
# given number of seconds, starting from seed corpora written by the tests'
# archive builders plus the saved regression inputs. Crashes are written to
# build/fuzz/crashes/TARGET/; copy each into fuzz/regressions/ once fixed.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 60)
# QMK_FUZZ_TARGETS="extract archive" picks targets (default: all five).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
cmake --preset native >/dev/null
cmake --build --preset native --target make_seeds >/dev/null

work=build/fuzz/corpus
targets="${QMK_FUZZ_TARGETS:-archive comment compress extract earlierlog}"
mkdir -p "$work/archive" "$work/comment" "$work/compress" "$work/extract" "$work/earlierlog"
build/native/tests/make_seeds "$work/archive" "$work/comment" "$work/extract" >/dev/null
for t in archive comment compress extract earlierlog; do
  cp fuzz/regressions/$t/* "$work/$t/" 2>/dev/null || true
done
cp "$work"/archive/* "$work/compress/"

status=0
for target in $targets; do
  crashes="build/fuzz/crashes/$target"
  mkdir -p "$crashes"
  echo "fuzz_$target: ${seconds}s"
  if ! build/fuzz/fuzz/fuzz_$target "$work/$target" -dict=fuzz/ace.dict -max_total_time="$seconds" \
      -rss_limit_mb=2048 -timeout=20 -artifact_prefix="$crashes/" -print_final_stats=1 \
      2>"build/fuzz/$target.log"; then
    echo "fuzz_$target FOUND A PROBLEM; see build/fuzz/$target.log and $crashes/"
    tail -30 "build/fuzz/$target.log"
    status=1
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+.*DONE' "build/fuzz/$target.log" || true
done
exit $status

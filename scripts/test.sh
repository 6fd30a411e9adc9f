#!/usr/bin/env bash
# Runs every test: installs what is missing (apt-get, as root), then
#   1. the native build's unit, command-line and fuzz-replay tests;
#   2. the same with AddressSanitizer and UBSan;
#   3. the Windows build's unit tests under Wine;
#   4. each libFuzzer target for a short run (QMK_FUZZ_SECONDS, default 30).
# Ends with one line "N passed, M failed" over all ctest tests.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh || exit 1

passed=0
failed=0
steps_failed=()

# run_ctest PRESET: configure, build and test one preset, adding its counts.
run_ctest() {
  local preset="$1" log="build/ctest-$1.log"
  mkdir -p build
  echo "== $preset: build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j2 >"build/build-$preset.log" 2>&1; then
    tail -40 "build/build-$preset.log"
    steps_failed+=("$preset build")
    failed=$((failed + 1))
    return
  fi
  echo "== $preset: test"
  ctest --preset "$preset" -j2 2>&1 | tee "$log" | grep -E 'tests passed|Failed|\*\*\*' || true
  local line total bad
  line="$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)"
  if [ -z "$line" ]; then
    steps_failed+=("$preset tests")
    failed=$((failed + 1))
    return
  fi
  bad="$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")"
  total="$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")"
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  [ "$bad" = 0 ] || steps_failed+=("$preset tests")
}

run_ctest native
run_ctest asan
run_ctest win32

echo "== fuzz: ${QMK_FUZZ_SECONDS:-30}s per target"
if bash scripts/fuzz.sh "${QMK_FUZZ_SECONDS:-30}"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  steps_failed+=("fuzz")
fi

if [ "${#steps_failed[@]}" != 0 ]; then
  echo "failed: ${steps_failed[*]}"
fi
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]

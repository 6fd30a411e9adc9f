#!/usr/bin/env bash
# Runs every test: installs what is missing (apt-get, as root), then
#   1. the native build's unit, command-line and fuzz-replay tests;
#   2. the same with AddressSanitizer and UBSan;
#   3. the Windows build's unit tests under Wine;
#   4. each libFuzzer target for a short run (QMK_FUZZ_SECONDS, default 30);
#   5. the README's demo command from a clean clone of the commit under test,
#      so a main command that only works in a built tree cannot land.
# Ends with one line "N passed, M failed" over all ctest tests and steps,
# with ", K skipped" when this machine cannot run 32-bit programs (a kernel
# without IA-32 emulation): then the Windows build's tests that need Wine
# (wine.*, e2e.*) and the run of step 5 are built but not run, and say so.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh || exit 1

passed=0
failed=0
skipped=0
steps_failed=()

# Wine runs 32-bit Windows programs as 32-bit Linux processes.
win32_runs=1
if ! wine --version >/dev/null 2>&1; then
  win32_runs=0
  echo "== NOTE: this machine cannot run 32-bit programs (wine --version fails: $(wine --version 2>&1 | tail -1))"
  echo "   the Windows tests and the demo are built, not run, and counted as skipped"
fi

# run_ctest PRESET [CTEST-ARGS]: configure, build and test one preset,
# adding its counts.
run_ctest() {
  local preset="$1" log="build/ctest-$1.log"
  shift
  mkdir -p build
  echo "== $preset: build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j2 >"build/build-$preset.log" 2>&1; then
    tail -40 "build/build-$preset.log"
    steps_failed+=("$preset build")
    failed=$((failed + 1))
    return
  fi
  echo "== $preset: test"
  ctest --preset "$preset" -j2 "$@" 2>&1 | tee "$log" | grep -E 'tests passed|Failed|\*\*\*' || true
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
if [ "$win32_runs" = 1 ]; then
  run_ctest win32
else
  run_ctest win32 -E '^(wine|e2e)[.]'
  skipped=$((skipped + $(ctest --preset win32 -N -R '^(wine|e2e)[.]' | sed -nE 's/^Total Tests: ([0-9]+)/\1/p')))
fi

echo "== fuzz: ${QMK_FUZZ_SECONDS:-30}s per target"
if bash scripts/fuzz.sh "${QMK_FUZZ_SECONDS:-30}"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  steps_failed+=("fuzz")
fi

echo "== demo: bash scripts/demo.sh in a clean clone of this commit"
clone="$(mktemp -d)"
demo_status=0
if git clone -q "$PWD" "$clone/quellmark"; then
  (cd "$clone/quellmark" && bash scripts/demo.sh) >build/demo-clone.log 2>&1 || demo_status=$?
else
  demo_status=1
fi
rm -rf "$clone"
if [ "$demo_status" = 0 ]; then
  passed=$((passed + 1))
  tail -1 build/demo-clone.log
elif [ "$demo_status" = 3 ] && [ "$win32_runs" = 0 ]; then
  skipped=$((skipped + 1))
  echo "   built from the clone; not run (no 32-bit programs here)"
else
  failed=$((failed + 1))
  steps_failed+=("demo")
  tail -40 build/demo-clone.log
fi

if [ "${#steps_failed[@]}" != 0 ]; then
  echo "failed: ${steps_failed[*]}"
fi
echo "$passed passed, $failed failed$([ "$skipped" = 0 ] || echo ", $skipped skipped")"
[ "$failed" = 0 ]

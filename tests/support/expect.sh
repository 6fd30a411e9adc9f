# expect.sh - the checks of the command-line tests, sourced by them. Each
# check adds to `pass` or `fail`; a test ends with
#   echo "$pass passed, $fail failed"; [ "$fail" = 0 ]
# shellcheck shell=bash
pass=0
fail=0

# expect NAME STATUS PATTERN CMD...: runs CMD, checks its exit status and
# that its combined output matches PATTERN (an extended regex).
expect() {
  local name="$1" status="$2" pattern="$3" out rc
  shift 3
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

# check NAME CONDITION...: one more pass or fail for a condition of its own.
check() {
  local name="$1"
  shift
  if "$@"; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAIL: $name"; fi
}

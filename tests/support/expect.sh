# expect.sh - the frame of the command-line tests: `q` is qmkpack, `w` the work directory.
# shellcheck shell=bash
set -u
q="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
here="$(cd "$(dirname "$0")" && pwd)"
w="$(mktemp -d)"
trap 'chmod -R u+w "$w"; rm -rf "$w"' EXIT
cd "$w" || exit 1
pass=0 fail=0

# expect NAME STATUS PATTERN CMD...: CMD's exit status, and its output matching PATTERN (ERE).
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

# cases: an expect for each line NAME|STATUS|COMMAND|PATTERN but "#" lines; COMMAND is evaluated.
cases() {
  local name status command pattern checks
  while IFS='|' read -r name status command pattern; do
    [ "${name:0:1}" != "#" ] || continue
    checks=$((pass + fail))
    eval "expect \"\$name\" \"\$status\" \"\$pattern\" $command" </dev/null
    [ $((pass + fail)) != "$checks" ] || { fail=$((fail + 1)) && echo "FAIL: $name (the line does not parse)"; }
  done
}

# flip FILE OFFSET [BITS]: flips BITS (default 1) of the byte at OFFSET.
flip() {
  local byte
  byte=$(od -An -tu1 -j "$2" -N1 "$1")
  printf "\\x$(printf %02x $((byte ^ ${3:-1})))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

finish() {
  echo "$pass passed, $fail failed"
  [ "$fail" = 0 ]
}

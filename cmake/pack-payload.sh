#!/bin/sh
# Packs the installer's payload: pack-payload.sh QMKPACK LEVEL OUT DIR [REPO]
# With REPO, file times are clamped to its checked-out commit's time unless
# SOURCE_DATE_EPOCH is already set, so the demo product, which the build
# itself makes, packs to the same bytes on every build of one commit.
set -eu
qmkpack="$1" level="$2" out="$3" dir="$4" repo="${5:-}"
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && [ -n "$repo" ]; then
  epoch="$(git -C "$repo" log -1 --format=%ct 2>/dev/null || true)"
  if [ -n "$epoch" ]; then
    SOURCE_DATE_EPOCH="$epoch"
    export SOURCE_DATE_EPOCH
  fi
fi
exec "$qmkpack" create -q "-$level" "$out" "$dir"

#!/usr/bin/env bash
# Replays the fuzz targets over fresh seeds and the saved regression inputs.
# Usage: replay_seeds.sh MAKE_SEEDS ARCHIVE_REPLAY COMMENT_REPLAY COMPRESS_REPLAY EXTRACT_REPLAY REGRESSIONS_DIR
#                        EARLIERLOG_REPLAY
set -euo pipefail
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/archive" "$work/comment" "$work/compress" "$work/extract"
"$1" "$work/archive" "$work/comment" "$work/extract"
for t in archive comment compress extract; do
  cp "$6/$t"/* "$work/$t/" 2>/dev/null || true
done
# The archive seeds serve as the compressor's data and as extraction images too.
cp "$work"/archive/* "$work/compress/"
cp "$work"/archive/* "$work/extract/"
"$2" "$work"/archive/*
"$3" "$work"/comment/*
"$4" "$work"/compress/*
"$5" "$work"/extract/*
"$7" "$6"/earlierlog/*

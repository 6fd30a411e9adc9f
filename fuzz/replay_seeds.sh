#!/usr/bin/env bash
# Replays the fuzz targets over freshly written seed corpora and the saved
# regression inputs.
# Usage: replay_seeds.sh MAKE_SEEDS ARCHIVE_REPLAY COMMENT_REPLAY COMPRESS_REPLAY REGRESSIONS_DIR
set -euo pipefail
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/archive" "$work/comment" "$work/compress"
"$1" "$work/archive" "$work/comment"
cp "$5"/archive/* "$work/archive/" 2>/dev/null || true
cp "$5"/comment/* "$work/comment/" 2>/dev/null || true
cp "$5"/compress/* "$work/compress/" 2>/dev/null || true
# The compressor takes any bytes: the archive seeds serve as its data too.
cp "$work"/archive/* "$work/compress/"
"$2" "$work"/archive/*
"$3" "$work"/comment/*
"$4" "$work"/compress/*

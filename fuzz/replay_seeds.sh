#!/usr/bin/env bash
# Replays the fuzz targets over freshly written seed corpora and the saved
# regression inputs. Usage: replay_seeds.sh MAKE_SEEDS ARCHIVE_REPLAY COMMENT_REPLAY REGRESSIONS_DIR
set -euo pipefail
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/archive" "$work/comment"
"$1" "$work/archive" "$work/comment"
cp "$4"/archive/* "$work/archive/" 2>/dev/null || true
cp "$4"/comment/* "$work/comment/" 2>/dev/null || true
"$2" "$work"/archive/*
"$3" "$work"/comment/*

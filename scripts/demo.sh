#!/usr/bin/env bash
# The main job on the built-in demo: installs what is missing (apt-get, as
# root), builds the tools, then
#   1. writes the sample archive with the tests' archive builders and lists
#      and tests it with qmkpack;
#   2. packs a real folder (this project's own sources) with qmkpack create,
#      lists, tests and extracts it, and compares the extracted tree.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target qmkpack make_sample >/dev/null
qmkpack=build/native/qmkpack/qmkpack
out=build/demo
rm -rf "$out"
mkdir -p "$out"

run() {
  echo "\$ $*"
  "$@"
  echo
}

build/native/tests/support/make_sample "$out/sample.ace"
run "$qmkpack" list "$out/sample.ace"
run "$qmkpack" test "$out/sample.ace"

mkdir -p "$out/folder"
cp -r archive decoder qmkpack platform tests README.md "$out/folder/"
run "$qmkpack" create -9 "$out/folder.ace" "$out/folder"
run "$qmkpack" list "$out/folder.ace"
run "$qmkpack" test -q "$out/folder.ace"
run "$qmkpack" extract -q "$out/folder.ace" "$out/extracted"
run diff -r "$out/folder" "$out/extracted"
echo "demo: the extracted tree matches the packed folder"

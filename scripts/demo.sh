#!/usr/bin/env bash
# The main job on the built-in demo: installs what is missing (apt-get, as
# root), builds the tools, writes the sample archive with the tests' archive
# builders, then lists it and tests it with qmkpack.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target qmkpack make_sample >/dev/null
build/native/tests/support/make_sample build/native/sample.ace
echo "\$ qmkpack list build/native/sample.ace"
build/native/qmkpack/qmkpack list build/native/sample.ace
echo
echo "\$ qmkpack test build/native/sample.ace"
build/native/qmkpack/qmkpack test build/native/sample.ace

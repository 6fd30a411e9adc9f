#!/usr/bin/env bash
# screenshot.sh - writes docs/setup-window.png: the setup window as the
# end-to-end scenario "setup_window_then_enter" takes it under Xvfb (the win32 build must
# be there: cmake --preset win32 && cmake --build --preset win32).
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$repo/build/win32"
ctest --test-dir "$build" -R '^e2e\.setup_window_then_enter$' --output-on-failure
cp "$build/tests/e2e/setup-window.png" "$repo/docs/setup-window.png"
echo "wrote docs/setup-window.png"

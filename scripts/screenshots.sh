#!/usr/bin/env bash
# Takes the README's pictures under a virtual X server: the main window (also with larger
# type), both tabs of the History window in English and Chinese, and the status page as a
# headless chromium draws it, on a made-up database of three weeks (failures,
# a day without the program, a Get by hand, forecasts that change) at a fixed instant.
# Writes docs/screenshots/*.png. Usage: scripts/screenshots.sh [BUILD_DIR] (default build)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
generator=()
[ -f "$build/CMakeCache.txt" ] || generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DSKYLOOM_BUILD_SCREENSHOTS=ON >/dev/null
cmake --build "$build" --target skyloom-screenshots
helper=$(cd "$build" && pwd)/scripts/screenshots/skyloom-screenshots

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
chmod 700 "$scratch"
# A random first display number keeps parallel runs from racing for the same one.
XDG_RUNTIME_DIR=$scratch QT_QPA_PLATFORM=xcb \
  xvfb-run --auto-servernum --server-num=$((100 + RANDOM % 800)) \
  --server-args="-screen 0 1280x1024x24" "$helper" docs/screenshots

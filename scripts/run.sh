#!/usr/bin/env bash
# Builds Skyloom (installing what it needs) and runs it; arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build
source scripts/release-options.sh
cmake -S . -B build -G Ninja "${release_options[@]}" >/dev/null
cmake --build build --target skyloom skyloom-window
exec build/skyloom "$@"

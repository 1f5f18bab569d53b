#!/usr/bin/env bash
# Builds skyloom_<version>_<arch>.deb from a Release build with Debian's hardening flags
# (installing what it needs), into BUILD (default build-package/):
#   package.sh [BUILD]
# The tests' build (build/) has the same options, so packaging it compiles nothing again.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build package

build=${1:-build-package}
source scripts/release-options.sh
options=("${release_options[@]}")
[ -f "$build/CMakeCache.txt" ] || options+=(-DSKYLOOM_BUILD_TESTS=OFF)
cmake -S . -B "$build" -G Ninja "${options[@]}" >/dev/null
cmake --build "$build"
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/skyloom_*.deb

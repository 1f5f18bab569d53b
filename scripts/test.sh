#!/usr/bin/env bash
# Builds Skyloom and every test (installing what it needs) and runs the tests.
# With SKYLOOM_SANITIZE=1 it does so under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build test

build=build
source scripts/release-options.sh
options=("${release_options[@]}")
if [ "${SKYLOOM_SANITIZE:-0}" = 1 ]; then
  build=build-sanitize
  options=(-DCMAKE_BUILD_TYPE=Debug -DSKYLOOM_SANITIZE=ON)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp"
fi
cmake -S . -B "$build" -G Ninja "${options[@]}" >/dev/null
cmake --build "$build"
# The tests mostly wait on servers, timers and child processes, so more run than there are cores.
ctest --test-dir "$build" --output-on-failure --no-tests=error -j4 --timeout 600

#!/usr/bin/env bash
# Builds skyloom_<version>_<arch>.deb from a Release build with Debian's hardening flags
# (installing what it needs), into build-package/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build package

build=build-package
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DSKYLOOM_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build"
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/skyloom_*.deb

#!/usr/bin/env bash
# Installs the Debian packages a job needs, when any is missing:
#   install-deps.sh [build] [test] [fuzz] [bench] [package]   (default: build)
# Each set holds only what its job adds; `test` alone still brings `build`, since tests build
# the program. With everything present it needs no root and changes nothing.
set -euo pipefail

declare -A sets=(
  [build]="cmake ninja-build g++ pkg-config dpkg-dev qt6-base-dev libcurl4-openssl-dev libicu-dev
           libsqlite3-dev libpq-dev libboost-dev qt6-tools-dev qt6-l10n-tools qt6-tools-dev-tools
           fonts-wqy-microhei"  # the forecast is Chinese; minimal systems ship no CJK font
  [test]="libgtest-dev libcpp-httplib-dev sqlite3 postgresql xvfb xauth x11-utils xdotool
          python3-feedparser python3-jsonschema
          chromium"  # loads the status page as a browser does
  [fuzz]="clang-16 libclang-rt-16-dev"
  [bench]="libbenchmark-dev hyperfine time python3 wrk nginx-light"
  [package]="dpkg-dev fakeroot file lintian appstream man-db python3"
)

wanted=("${@:-build}")
[[ " ${wanted[*]} " == *" test "* ]] && wanted+=(build)
packages=()
for set in "${wanted[@]}"; do
  [ -n "${sets[$set]+x}" ] || { echo "install-deps.sh: no set named $set" >&2; exit 2; }
  read -r -a more <<<"$(echo ${sets[$set]})"
  packages+=("${more[@]}")
done

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]} (run as root, or install them with sudo apt-get install)" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"

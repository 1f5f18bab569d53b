#!/usr/bin/env bash
# Installs the Debian packages Skyloom needs to build, run and test, when any is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev libcurl4-openssl-dev libicu-dev libsqlite3-dev sqlite3
  libgtest-dev libbenchmark-dev libcpp-httplib-dev
  clang libclang-rt-14-dev clang-format
  xvfb xauth x11-utils xdotool hyperfine time python3
  libpq-dev postgresql
  fonts-wqy-microhei  # the forecast is Chinese; minimal systems ship no CJK font
)

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

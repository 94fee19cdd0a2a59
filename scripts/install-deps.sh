#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Quillmere needs.
# Quiet and quick when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format
  qt6-base-dev libgl-dev
  libgmime-3.0-dev libglib2.0-dev libjemalloc-dev libmodpbase64-dev libisal-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  pff-tools pst-utils libemail-outlook-message-perl libemail-address-perl python3-olefile
  xvfb xauth fonts-dejavu-core git time
  lintian desktop-file-utils appstream man-db
  gcovr
)
# Node.js and npm install and run the test-only readers of tests/tools (never the program).
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

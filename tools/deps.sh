#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; quiet and quick when all are there.
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev tzdata valgrind clang libclang-rt-14-dev lld libssl-dev libcurl4-openssl-dev
  python3 zlib1g-dev gzip
  libpng-dev libjpeg62-turbo-dev libgif-dev libtiff-dev libcairo2-dev pkg-config python3-pil
  libpango1.0-dev fonts-dejavu-core fonts-droid-fallback
  libedit-dev libx11-dev libxrandr-dev libxrender-dev xvfb xdotool xclip x11-apps imagemagick
  openbox x11-xkb-utils x11-xserver-utils uim-xim locales)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

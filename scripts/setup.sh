#!/usr/bin/env bash
# Installs every system package the build, the tests and the examples need.
# Idempotent and non-interactive: packages already present are not touched,
# and the package lists are refreshed only when something is missing.
set -euo pipefail

PACKAGES=(
  build-essential
  cmake
  ninja-build
  pkg-config
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libjpeg62-turbo-dev
  libturbojpeg0-dev
  libavcodec-dev
  libavutil-dev
  libswscale-dev
  libavfilter-dev
  libyuv-dev
  libasound2-dev
  libavformat-dev
  libswresample-dev
  ffmpeg
  libfreetype-dev
  libfontconfig-dev
  fonts-dejavu-core
  libstb-dev
  clang
  libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "setup: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=""
if [[ $(id -u) -ne 0 ]]; then
  SUDO="sudo"
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

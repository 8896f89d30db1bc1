#!/usr/bin/env bash
# Installs the Debian packages that building and testing need; does nothing when all are present.
set -euo pipefail

build_packages=(
    g++ cmake ninja-build pkg-config
    libavformat-dev libavcodec-dev libavutil-dev libavfilter-dev libswscale-dev libswresample-dev libavdevice-dev
    libsdl1.2-dev libsoundtouch-dev qt6-base-dev libcurl4-openssl-dev libx11-dev fonts-dejavu-core
)
# xdg-utils and desktop-file-utils: the association tests ask the desktop's own tools what it opens.
test_packages=(libgtest-dev libgmock-dev xvfb xauth ffmpeg python3 openssl xdg-utils desktop-file-utils shared-mime-info)

wanted=("${build_packages[@]}")
[ "${1:-}" = "--with-tests" ] && wanted+=("${test_packages[@]}")
# The run command also makes its demo clip with the ffmpeg tool.
[ "${1:-}" = "--with-demo" ] && wanted+=(ffmpeg xauth)

missing=()
for p in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"

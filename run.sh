#!/usr/bin/env bash
# Installs what is missing, builds, and starts Strevio on the given file (or on a demo clip it makes).
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"

scripts/install-deps.sh --with-demo
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTREVIO_BUILD_TESTS=OFF >/dev/null
cmake --build build

file=${1:-}
if [ -z "$file" ]; then
    file=build/demo/demo.mkv
    if [ ! -f "$file" ]; then
        mkdir -p build/demo
        ffmpeg -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25:duration=20 \
            -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=20" \
            -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$file"
    fi
fi

if [ ! -x build/player/strevio ]; then
    echo "run.sh: this build has no player program (build/player/strevio)." >&2
    exit 1
fi
exec build/player/strevio "$file"

#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer, and runs
# every test headless under Xvfb.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"

scripts/install-deps.sh --with-tests
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSTREVIO_SANITIZE=ON >/dev/null
cmake --build build-test

cd build-test
export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}
export SDL_VIDEODRIVER=${SDL_VIDEODRIVER:-dummy}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
# Playback tests hold pictures and sound to real-time bounds; on a loaded machine a test that misses one is
# run again, and only a test that fails three times fails the run.
exec xvfb-run -a -s "-screen 0 1280x1024x24" \
    ctest --output-on-failure -j "$(nproc)" --timeout 300 --repeat until-pass:3

#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer, and runs
# every test headless under Xvfb.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"

scripts/install-deps.sh --with-tests
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSTREVIO_SANITIZE=ON >/dev/null
cmake --build build-test

cd build-test
# Each test sets the drivers it needs; one X server serves every test that embeds a window. The server must
# not reset when its last client leaves, for while it resets it refuses the tests that connect; and a run on
# many cores needs more than its default 256 clients. Backing store (+bs) lets a test read its own window's
# pixels where another test's window lies on top. Each test runs once: a failure is a fault to find,
# never something to try again.
exec xvfb-run -a -s "-noreset +bs -maxclients 1024 -screen 0 1280x1024x24" \
    ctest --output-on-failure -j "$(nproc)" --timeout 300

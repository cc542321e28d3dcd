#!/usr/bin/env bash
# Builds the programs and a Debian package of them (CPack) into the build folder.
#   scripts/package.sh [BUILD-DIR]     default: build (configured by scripts/build.sh)
# The package installs the programs with their data folders under /usr/libexec/tessaro (linked
# into /usr/bin), the man pages, the udev rule for the USB debug interface and, when the Qt
# program is built, its desktop entry.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" -j "$(nproc)"
(cd "$build" && cpack -G DEB)
ls "$build"/*.deb

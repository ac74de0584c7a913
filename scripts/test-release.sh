#!/usr/bin/env bash
# The release artifacts of the Linux build: the Debian package passes lintian
# (no error, no warning) and its desktop entry desktop-file-validate, and two
# builds of the same sources in different folders give the same package
# byte for byte. Reuses the build folder of scripts/test-posix-usb.sh (which
# runs before this script in scripts/test.sh) as the first build and adds one
# build of just the packaged programs. The Windows zip is checked by
# scripts/test-windows.sh.
# ZEDRIKFU_BUILD_DIR chooses the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
# The packaged programs' libraries (as scripts/test-posix-usb.sh), and the
# tools of the checks.
bash scripts/deps.sh libusb-1.0-0-dev libudev-dev libsgutils2-dev libgtk-3-dev dpkg-dev \
  desktop-file-utils lintian git man-db groff-base binutils
build=${ZEDRIKFU_BUILD_DIR:-build}
jobs=$(nproc 2>/dev/null || echo 2)

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "$jobs" --target zedrikfu zedrikfu-image

source scripts/suite.sh

suite "Debian package: lintian, copyright, changelog, man pages, stripped programs, desktop entry" \
  bash tests/release/lintian.sh "$build"
suite "reproducible Debian package (a second build in another folder)" \
  bash tests/release/reproducible.sh "$build"

echo "release: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

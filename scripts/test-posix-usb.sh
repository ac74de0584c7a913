#!/usr/bin/env bash
# The POSIX build on real USB: installs libusb, libudev, libsgutils2,
# umockdev, GTK 3, Xvfb and the X tools, builds zedrikfu, vbridge-usb and their
# tests, and runs
#  - the libusb transport tests against emulated USB devices (umockdev),
#  - the SCSI generic transport tests against their emulated SCSI side,
#  - the real zedrikfu end to end under vbridge-usb, over both paths,
#  - the GTK layer and the real zedrikfu under Xvfb (screenshots kept in
#    BUILD/test-artifacts/posix-usb),
#  - the install layout.
# ZEDRIKFU_BUILD_DIR chooses the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh libusb-1.0-0-dev libudev-dev libsgutils2-dev umockdev libumockdev-dev \
  libgtk-3-dev xvfb xdotool imagemagick x11-utils desktop-file-utils dpkg-dev python3
build=${ZEDRIKFU_BUILD_DIR:-build}
jobs=$(nproc 2>/dev/null || echo 2)

# Configure again: the optional parts are built once their packages are here.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs" --target zedrikfu zedrikfu-sim zedrikfu-image vbridge-usb \
  zf_tests_usb zf_tests_sgio zf_tests_gtk zf_tests_posix

source scripts/suite.sh

suite "libusb transport over emulated USB" \
  env LD_PRELOAD=libumockdev-preload.so.0 timeout 300 "$build/zf_tests_usb" --gtest_brief=1
suite "SCSI generic transport over emulated SCSI disks" \
  env LD_PRELOAD=libumockdev-preload.so.0 timeout 300 "$build/zf_tests_sgio" --gtest_brief=1
for path in scsi usb; do
  suite "zedrikfu under vbridge-usb, $path path" bash tests/usb/e2e_usb_update.sh \
    "$build/vbridge-usb" "$build/zedrikfu" "$build/zedrikfu-image" "$path"
done
suite "GTK under Xvfb" \
  bash tests/usb/gtk_xvfb.sh "$build/vbridge-usb" "$build/zedrikfu" "$build/zedrikfu-image" \
  "$build/zf_tests_gtk" "$build/zedrikfu-sim" "$build/test-artifacts/posix-usb"
suite "no display: terminal layer" \
  bash tests/usb/no_display_terminal.sh "$build/zedrikfu-sim" "$build/zedrikfu-image" "$build/zedrikfu"
suite "install layout" bash tests/usb/install_layout.sh "$build"
suite "zedrikfu command line under vbridge-usb" \
  bash tests/usb/e2e_usb_cli.sh "$build/vbridge-usb" "$build/zedrikfu" "$build/zedrikfu-image"
suite "Debian package" bash tests/usb/debian_package.sh "$build"

echo "posix-usb: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

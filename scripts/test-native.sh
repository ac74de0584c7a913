#!/usr/bin/env bash
# The native build (build/) and every test ctest knows there: unit, flow,
# engine and fault-sweep tests, the end-to-end scripts over zedrikfu-sim.
set -euo pipefail
cd "$(dirname "$0")/.."
# python3, dbus-daemon and python3-dbusmock: the end-to-end interrupt and
# logind inhibitor tests (tests/e2e).
bash scripts/deps.sh python3 dbus-daemon python3-dbusmock
source scripts/suite.sh  # also keeps the tests' update history in a folder of the run
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --timeout 600 --output-on-failure -j "$jobs"

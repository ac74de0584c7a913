#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
# python3, dbus-daemon and python3-dbusmock: the end-to-end interrupt and
# logind inhibitor tests (tests/e2e).
bash scripts/deps.sh python3 dbus-daemon python3-dbusmock
jobs=$(nproc 2>/dev/null || echo 2)

echo "== Native build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

# Further suites, each installing what it needs itself.
for suite in scripts/test-*.sh; do
  [ -e "$suite" ] || continue
  echo "== $suite"
  bash "$suite"
done
echo "== All tests passed"

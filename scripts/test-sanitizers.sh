#!/usr/bin/env bash
# The test suite under the sanitizers:
# - build-asan/: everything built with AddressSanitizer and
#   UndefinedBehaviorSanitizer, every test run (ctest);
# - build-tsan/: the tests built with ThreadSanitizer, the tests that run
#   the workers (engine, flow, fault sweep: the worker thread, the progress
#   poll and gProgress) run.
# Any report fails the run: UBSan is built not to recover, ASan and TSan
# end the process at the first report.
set -euo pipefail
cd "$(dirname "$0")/.."
# python3, dbus-daemon and python3-dbusmock: the end-to-end interrupt and
# logind inhibitor tests (tests/e2e).
bash scripts/deps.sh python3 dbus-daemon python3-dbusmock
jobs=$(nproc 2>/dev/null || echo 2)

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "== ASan + UBSan: build-asan"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEDRIKFU_SANITIZE=address,undefined -DZEDRIKFU_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== TSan: build-tsan (engine, flow and fault-sweep tests)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEDRIKFU_SANITIZE=thread -DZEDRIKFU_BENCH=OFF >/dev/null
tsan_targets=(zf_tests)
if ls tests/scsi_test_*.cpp >/dev/null 2>&1; then tsan_targets+=(zf_tests_scsi); fi
cmake --build build-tsan -j "$jobs" --target "${tsan_targets[@]}"
# The 64 KiB-block sweeps run the same worker and poll as the other layouts
# but take minutes under TSan; they run natively and under ASan above.
ctest --test-dir build-tsan --output-on-failure -j "$jobs" \
  -R '^(scsi[.])?(Engine|FlowTest[.]|Versions/NotNewerTest[.]|Layouts/FaultSweep[.]|FaultSweepDefaultFlash[.]|SweepAgreesWithFlow[.])' \
  -E '64KiBblocks'

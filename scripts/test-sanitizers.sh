#!/usr/bin/env bash
# The test suite under the sanitizers:
# - build-asan/: the tests and the programs they drive built with
#   AddressSanitizer and UndefinedBehaviorSanitizer, every ctest test run
#   but the long sweeps and paced scenarios (they run natively);
# - build-tsan/: the tests built with ThreadSanitizer (USB encoding), the
#   tests that run the workers (engine, flow: the worker thread, the
#   progress poll and gProgress) run.
# Any report fails the run: UBSan is built not to recover, ASan and TSan
# end the process at the first report.
set -euo pipefail
cd "$(dirname "$0")/.."
# python3, dbus-daemon and python3-dbusmock: the end-to-end interrupt and
# logind inhibitor tests (tests/e2e).
bash scripts/deps.sh python3 dbus-daemon python3-dbusmock
source scripts/suite.sh  # also keeps the tests' update history in a folder of the run
jobs=$(nproc 2>/dev/null || echo 2)

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# The long runs (the fault sweeps, the paced interrupt and inhibitor
# scenarios) take minutes under the sanitizers and exercise no code the
# other tests leave out: they run once, in the native build.
long_runs='FaultSweep|^e2e_interrupts$|^e2e_logind_inhibitor$'

echo "== ASan + UBSan: build-asan"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEDRIKFU_SANITIZE=address,undefined -DZEDRIKFU_BENCH=OFF >/dev/null
# What ctest runs here: the unit, flow and engine tests over both encodings,
# the programs of the end-to-end scripts, and the headless POSIX tests. The
# transports to real devices are tested natively by test-posix-usb.sh.
asan_targets=(zf_tests zedrikfu-sim zedrikfu-image)
if ls tests/scsi_test_*.cpp >/dev/null 2>&1; then asan_targets+=(zf_tests_scsi); fi
if cmake --build build-asan --target help | grep -qx '\.\.\. zf_tests_posix'; then
  asan_targets+=(zf_tests_posix)
fi
cmake --build build-asan -j "$jobs" --target "${asan_targets[@]}"
ctest --test-dir build-asan --timeout 600 --output-on-failure -j "$jobs" \
  -E "$long_runs|^posix_no_display_terminal$|_NOT_BUILT$"

echo "== TSan: build-tsan (engine and flow tests)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEDRIKFU_SANITIZE=thread -DZEDRIKFU_BENCH=OFF >/dev/null
# The threads are the same whichever encoding the commands take: the USB
# encoded build alone (the SCSI encoded twin runs under ASan above).
cmake --build build-tsan -j "$jobs" --target zf_tests
# The worker thread, the progress poll and gProgress: the engine's workers
# and the flow on the scripted dialogs, and a sample of faults through both.
ctest --test-dir build-tsan --timeout 600 --output-on-failure -j "$jobs" \
  -R '^(Engine|FlowTest[.]|Versions/NotNewerTest[.]|SweepAgreesWithFlow[.])'

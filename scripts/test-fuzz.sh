#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan (build-fuzz/) and
# runs each one for a bounded time on a scratch copy of its seed corpus
# (fuzz/corpus/<target>/). Fails on any crash, leak, undefined behaviour or
# time-out; the input that caused it is kept in build-fuzz/artifacts/.
#   ZF_FUZZ_SECONDS=60 bash scripts/test-fuzz.sh   # longer runs
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh clang libclang-rt-14-dev
jobs=$(nproc 2>/dev/null || echo 2)
seconds=${ZF_FUZZ_SECONDS:-8}
build=build-fuzz

# Warnings are the native build's business (g++ with -Werror); here they
# must not stop the fuzzers from being built.
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEDRIKFU_FUZZ=ON -DZEDRIKFU_TESTS=OFF -DZEDRIKFU_BENCH=OFF -DZEDRIKFU_WERROR=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target zf_fuzzers

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
artifacts="$build/artifacts"
mkdir -p "$artifacts"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

passed=0
failed=0
for source in fuzz/fuzz_*.cpp; do
  name=$(basename "$source" .cpp)
  corpus="$scratch/$name"
  mkdir -p "$corpus"
  if [ -d "fuzz/corpus/$name" ]; then cp fuzz/corpus/"$name"/* "$corpus"/; fi
  log="$scratch/$name.log"
  if "$build/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$artifacts/$name-" "$corpus" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    echo "PASS $name: ${runs:-?} inputs in ${seconds}s, $cov, corpus $(ls "$corpus" | wc -l) files"
    passed=$((passed + 1))
  else
    echo "FAIL $name:"
    tail -n 60 "$log"
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

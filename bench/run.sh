#!/usr/bin/env bash
# Builds the benchmarks in Release mode (build-bench/), runs them for both
# transports, then one full update through each of zedrikfu's real transports
# (libusb, SCSI generic) against the umockdev emulation of the bridge, and
# prints one table of the figures with their goals.
#   bash bench/run.sh                      # everything
#   bash bench/run.sh --benchmark_min_time=0.05   # extra flags for the benchmark programs
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh libusb-1.0-0-dev libudev-dev libsgutils2-dev umockdev libumockdev-dev >/dev/null
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZEDRIKFU_TESTS=OFF -DZEDRIKFU_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target \
  zf_bench_usb zf_bench_scsi zf_bench_memory_usb zf_bench_memory_scsi \
  zf_bench_emulation_libusb zf_bench_emulation_sgio >/dev/null

rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
export ZF_BENCH_ROWS="$rows"
for transport in usb scsi; do
  echo "== zf_bench_$transport"
  "$build/zf_bench_$transport" "$@"
  "$build/zf_bench_memory_$transport"
done
for transport in libusb sgio; do
  echo "== zf_bench_emulation_$transport"
  LD_PRELOAD=libumockdev-preload.so.0 "$build/zf_bench_emulation_$transport"
done

# One table: a row per figure, a column per transport.
echo
echo "== Summary ($(date -u +%Y-%m-%d), $(nproc) cores, $(uname -m))"
echo
awk -F'\t' '
  { key = $2; if (!(key in seen)) { seen[key] = 1; order[++n] = key }
    value[key, $1] = $3
    if ($4 != "") { goal[key] = $4; verdict[key, $1] = $5 } }
  END {
    print "| Figure | USB (48-byte unit) | SCSI (512-byte unit) | Goal |"
    print "|---|---|---|---|"
    for (i = 1; i <= n; ++i) {
      k = order[i]; u = value[k, "USB"]; s = value[k, "SCSI"]
      if (u == "") u = "-"; if (s == "") s = "-"
      g = goal[k]
      if (g != "") {
        v = ""
        if (verdict[k, "USB"] == "MISSED" || verdict[k, "SCSI"] == "MISSED") v = " (MISSED)"
        else v = " (met)"
        g = g v
      }
      print "| " k " | " u " | " s " | " g " |"
    }
  }' "$rows"

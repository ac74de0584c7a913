#!/usr/bin/env bash
# Builds the updater with its virtual bridge and runs a full update in demo/.
# The first run updates the virtual bridge's firmware from 01.10 to 01.20;
# running it again finds the firmware already the latest.
# `scripts/demo.sh --reset` starts over with a fresh virtual bridge.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs" --target zedrikfu-sim zedrikfu-image

demo="$root/demo"
if [ "${1:-}" = "--reset" ]; then rm -rf "$demo"; fi
mkdir -p "$demo"
cp "$root/build/zedrikfu-sim" "$demo/zedrikfu-sim"

if [ ! -f "$demo/ZEDRIKFU.ini" ]; then
  printf '[TargetInfo]\r\nTargetBridgeIC=QK9318A\r\n[SysInfo]\r\nSysInfoNum=1\r\nVenderID0=0x3F1C\r\nProductID0=0x0001\r\n' \
    > "$demo/ZEDRIKFU.ini"
fi
if [ ! -f "$demo/MainFW.kqfw" ]; then
  "$root/build/zedrikfu-image" make-firmware --variant A --version 0x0120 --compat 0x0154 \
    --random-size 40000 --seed 7 -o "$demo/MainFW.kqfw"
fi

# The default virtual bridge, slowed down so that the progress can be
# watched: every command takes 60 microseconds (a real bridge takes longer).
if [ ! -f "$demo/virtual-devices.ini" ]; then
  "$root/build/zedrikfu-image" make-default -o "$demo/bridge.bin" > /dev/null
  cat > "$demo/virtual-devices.ini" <<'INI'
; The demo's virtual bridge: a QK9318A with a 1 MiB flash holding two copies
; of firmware 01.10. Keys as in README.md.
[bridge]
VendorID=0x3F1C
ProductID=0x0001
ChipID=318a
Compat=0x0154
FlashPart=Winbond W25Q80BL
FlashImage=bridge.bin
Trace=trace.txt
Latency=60
INI
fi

echo "== Demo folder: $demo"
echo "== The virtual bridge: $demo/virtual-devices.ini, its flash: bridge.bin, the commands it received: trace.txt"
cd "$demo"
status=0
if [ -t 0 ]; then
  ./zedrikfu-sim || status=$?
else
  echo ok | ./zedrikfu-sim || status=$?
fi
echo "== zedrikfu-sim ended with exit status $status (0 updated, 2 nothing to do, 1 failed)"
"$root/build/zedrikfu-image" inspect "$demo/bridge.bin" | sed -n '1,200p' | grep -iE 'version|copy' || true
if [ "$status" -eq 1 ]; then exit 1; fi
exit 0

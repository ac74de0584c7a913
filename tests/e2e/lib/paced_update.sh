# Sourced by the end-to-end scripts that time signals and bus calls against
# the commands of an update, with their arguments: $1 zedrikfu-sim, $2
# zedrikfu-image. They run on the terminal front-end, drive the program
# with drive.py and count failures with fail().
unset DISPLAY WAYLAND_DISPLAY  # the terminal front-end
sim=$(realpath "$1")
image=$(realpath "$2")
drive=$(dirname "$(realpath "$0")")/drive.py
python=/usr/bin/python3
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# prepare FOLDER LATENCY: a folder with the program, the system information
# file, firmware 01.20 and a 64 KiB flash with two copies of 01.10; every
# command of the bridge takes LATENCY microseconds and is traced in
# trace.txt.
prepare() {  # folder latency
  mkdir -p "$1"
  cp "$sim" "$1/zedrikfu-sim"
  printf '[TargetInfo]\r\nTargetBridgeIC=QK9318A\r\n[SysInfo]\r\nSysInfoNum=1\r\nVenderID0=0x3F1C\r\nProductID0=0x0001\r\n' \
    > "$1/ZEDRIKFU.ini"
  "$image" make-firmware --variant A --version 0x0110 --compat 0x0154 --random-size 4000 --seed 5 \
    -o "$1/old.kqfw" > /dev/null || fail "make-firmware"
  "$image" make-firmware --variant A --version 0x0120 --compat 0x0154 --random-size 4000 --seed 6 \
    -o "$1/MainFW.kqfw" > /dev/null || fail "make-firmware"
  "$image" make-flash --part "Macronix MX25V512C" --variant A --copies 2 --firmware "$1/old.kqfw" \
    -o "$1/flash.bin" > /dev/null || fail "make-flash"
  cp "$1/flash.bin" "$1/flash.orig"
  printf '[bridge]\nVendorID=0x3F1C\nProductID=0x0001\nChipID=318a\nCompat=0x0154\nFlashPart=Macronix MX25V512C\nFlashImage=flash.bin\nTrace=trace.txt\nLatency=%s\n' \
    "$2" > "$1/virtual-devices.ini"
}

# reset FOLDER: a fresh flash and trace for the next run in the folder.
reset() { cp "$1/flash.orig" "$1/flash.bin"; rm -f "$1/trace.txt"; }

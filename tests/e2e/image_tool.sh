#!/usr/bin/env bash
# zedrikfu-image end to end: make firmware files and flash images, inspect
# them, and check the verdicts and exit statuses of good and refused files.
# $1: zedrikfu-sim (not used here), $2: zedrikfu-image.
set -uo pipefail

tool=${2:?usage: image_tool.sh ZEDRIKFU-SIM ZEDRIKFU-IMAGE}
tool=$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")
[ -x "$tool" ] || { echo "FAIL: $tool is not a program"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

passed=0
failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

# expect STATUS DESCRIPTION -- COMMAND...: runs the command, output in out.txt
expect() {
  local want=$1 what=$2
  shift 3
  "$@" >out.txt 2>err.txt
  local got=$?
  if [ "$got" -eq "$want" ]; then ok; else bad "$what: exit $got, wanted $want"; cat out.txt err.txt; fi
}
# has TEXT DESCRIPTION: out.txt holds the line fragment
has() {
  if grep -qF -- "$1" out.txt; then ok; else bad "$2: no \"$1\" in output"; cat out.txt; fi
}

# --- firmware files ---------------------------------------------------------
expect 0 "make-firmware A" -- "$tool" make-firmware --variant A --version 0x0123 --compat 0x0154 \
  --random-size 4096 --seed 3 -o fwA.kqfw
[ "$(stat -c %s fwA.kqfw)" -eq 4112 ] && ok || bad "firmware file size"
expect 0 "inspect firmware" -- "$tool" inspect fwA.kqfw
has "signature: 0x02043F1C (QK9318A)" "firmware signature"
has "version: 01.23 (0x0123)" "firmware version"
has "compatibility: 0x0154" "compatibility value"
has "(good)" "firmware CRC"
has "verdict: accepted for QK9318A" "firmware verdict"
expect 1 "firmware for the other variant" -- "$tool" inspect --variant E fwA.kqfw

printf 'some code bytes' >code.bin
expect 0 "make-firmware from code" -- "$tool" make-firmware --variant E --version 0x0200 \
  --compat 0x0161 --code code.bin -o fwE.kqfw
expect 0 "inspect E firmware" -- "$tool" inspect fwE.kqfw
has "(QK9318E)" "E signature"
has "compatibility: 0x0161" "compatibility from --compat"

# Refused firmware files: bad CRC, cut short, one byte too many.
expect 0 "make bad-CRC firmware" -- "$tool" make-firmware --variant A --version 0x0300 \
  --compat 0x0154 --random-size 100 --bad-crc -o badcrc.kqfw
expect 1 "bad CRC refused" -- "$tool" inspect badcrc.kqfw
has "refused: code CRC does not match" "bad CRC reason"
head -c 4000 fwA.kqfw >short.kqfw
expect 1 "short firmware refused" -- "$tool" inspect --firmware short.kqfw
has "length differs" "short firmware reason"
{ cat fwA.kqfw; printf 'x'; } >long.kqfw
expect 1 "long firmware refused" -- "$tool" inspect --firmware long.kqfw

expect 2 "code of 1 byte" -- "$tool" make-firmware --variant A --version 1 --compat 1 \
  --random-size 1 -o x.kqfw
expect 2 "no variant" -- "$tool" make-firmware --version 1 --compat 1 --random-size 10 -o x.kqfw

# --- flash images -------------------------------------------------------------
expect 0 "make-flash default firmware" -- "$tool" make-flash --part "Winbond W25Q80BL" \
  --variant A --copies 2 -o flash.bin
[ "$(stat -c %s flash.bin)" -eq 1048576 ] && ok || bad "flash size"
expect 0 "inspect flash" -- "$tool" inspect flash.bin
has "CRC stored" "header CRC line"
has "matching table parts:" "table parts line"
has "\"Winbond W25Q80BL\"" "part named"
has "identity: vendor 0x3F1C, product 0x0001, bcdDevice 0x0100" "identity"
has "firmware area 1: offset 0x01000" "area 1"
has "firmware area 2: offset 0x11000" "area 2"
has "copies 2 (FWAllocate 2)" "layout"
has "installed version (for QK9318A): 01.10" "installed version"
has "verdict: usable" "flash verdict"

# Two different copies: the newer runs, the older is shown as installed.
expect 0 "make-firmware newer" -- "$tool" make-firmware --variant A --version 0x0150 \
  --compat 0x0154 --random-size 8000 -o fwNew.kqfw
expect 0 "make-flash two files" -- "$tool" make-flash --part "Winbond W25Q80BL" --variant A \
  --copies 2 --firmware fwA.kqfw --firmware2 fwNew.kqfw --manufacturer "Acme" \
  --product "Disk" --vid 0x1234 --pid 0x5678 --bcd 0x0210 --fw-name MainFW.kqfw -o two.bin
expect 0 "inspect two" -- "$tool" inspect two.bin
has "device runs: firmware area 2" "newer copy runs"
has "installed version (for QK9318A): 01.23" "the copy not chosen"
has "manufacturer \"Acme\"" "manufacturer"
has "identity: vendor 0x1234, product 0x5678, bcdDevice 0x0210" "identity options"
has "firmware file name: \"MainFW.kqfw\"" "file name slot"

# QK9318E with encryption records on a small flash, one copy.
expect 0 "make-flash E" -- "$tool" make-flash --part "Macronix MX25V512C" --variant E \
  --copies 1 --firmware fwE.kqfw --encryption 1,0,1 -o small.bin
expect 0 "inspect E flash" -- "$tool" inspect small.bin
has "encryption: records at 0x0E000 and 0x0F000, settings 1, 0, 1" "encryption"
has "installed version (for QK9318E): 02.00" "E version"
expect 0 "E flash for an A updater" -- "$tool" inspect --variant A small.bin
has "installed version (for QK9318A): Unknown" "Unknown for the other variant"

# Placements the table does not have, and a firmware of the wrong variant.
expect 2 "no placement" -- "$tool" make-flash --part "Macronix MX25V512C" --variant E \
  --copies 2 --firmware fwE.kqfw -o x.bin
expect 2 "wrong variant firmware" -- "$tool" make-flash --part "Winbond W25Q80BL" --variant A \
  --copies 1 --firmware fwE.kqfw -o x.bin
expect 2 "unknown part" -- "$tool" make-flash --part "Winbond W25Q80" --variant A --copies 1 -o x.bin

# Broken images: refused with a non-zero exit.
expect 0 "corrupt copy 1" -- "$tool" make-flash --part "Winbond W25Q80BL" --variant A \
  --copies 2 --corrupt-copy 1 -o c1.bin
expect 0 "one good copy left" -- "$tool" inspect c1.bin
has "device runs: firmware area 2" "copy 2 runs"
expect 0 "single copy corrupt" -- "$tool" make-flash --part "Winbond W25Q80BL" --variant A \
  --copies 1 --corrupt-copy 1 -o c1s.bin
expect 1 "no usable copy refused" -- "$tool" inspect --variant A c1s.bin
has "refused: no usable firmware copy" "no copy reason"
has "installed version (for QK9318A): Unknown" "Unknown when no copy"
expect 0 "blank flash" -- "$tool" make-flash --part "Winbond W25Q40BL" --variant A --copies 1 \
  --blank -o blank.bin
[ "$(stat -c %s blank.bin)" -eq 524288 ] && ok || bad "blank size"
expect 1 "blank refused" -- "$tool" inspect blank.bin
has "(BAD)" "bad header CRC"
cp flash.bin hdr.bin
printf '\x55' | dd of=hdr.bin bs=1 seek=20 conv=notrunc status=none
expect 1 "header CRC refused" -- "$tool" inspect hdr.bin

# Garbage and unreadable input never crash.
head -c 3000 /dev/urandom >noise.bin
"$tool" inspect --flash noise.bin >out.txt 2>&1
status=$?
[ "$status" -eq 1 ] && ok || bad "noise: exit $status, wanted 1"
expect 2 "missing file" -- "$tool" inspect does-not-exist.bin
expect 2 "unknown command" -- "$tool" frobnicate

expect 0 "make-default" -- "$tool" make-default -o def.bin
cmp -s def.bin flash.bin && ok || bad "make-default differs from the default make-flash"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

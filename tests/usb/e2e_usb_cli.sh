#!/usr/bin/env bash
# The real zedrikfu's command line (libusb transport) against virtual
# bridges presented as emulated USB devices by vbridge-usb: --check and its
# JSON, --read byte-equal to the flash, --yes --backup, a restore over a
# destroyed header, and the choice of one of two bridges by --device and
# --usb-id. $1: vbridge-usb, $2: zedrikfu, $3: zedrikfu-image.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
drives "$1" "$2" "$3"
unset DISPLAY WAYLAND_DISPLAY

run() {  # DIR ARGS...: output in out.txt and err.txt, status in $code
  local d=$1
  shift
  (cd "$d" && "$vbridge" devices.ini -- ./zedrikfu "$@" </dev/null >out.txt 2>err.txt)
  code=$?
}

d=$work/one
updater_folder "$d" "$updater" "$tool"
bridge_section bridge >"$d/devices.ini"
run "$d" --check --json
status_is "$code" 0 "--check --json"
if python3 - "$d/out.txt" "$d/flash.bin" <<'PY'
import json, struct, sys
r = json.load(open(sys.argv[1]))
flash = open(sys.argv[2], 'rb').read()
assert r["result"] == "update" and r["exitStatus"] == 0
assert r["transport"] == "SCSI generic", r["transport"]
b = r["bridge"]
assert (b["variant"], b["usbId"], b["bus"], b["address"]) == ("QK9318A", "3f1c:0001", 1, 2), b
read = r["flash"].pop("bytesRead")
assert r["flash"] == {"part": "Macronix MX25V512C", "size": len(flash), "eraseBlock": 4096}, r["flash"]
# Every block the update erases is read whole; the rest of the flash is not.
assert r["update"]["eraseBlocks"] * 4096 <= read < len(flash), read
assert [c["offset"] for c in r["copies"]] == [struct.unpack_from("<I", flash, f)[0] for f in (36, 40)]
assert all(c["crc"] == "good" and c["version"]["text"] == "01.10" for c in r["copies"])
assert r["file"]["version"]["text"] == "01.20" and r["update"]["copies"] == 2
PY
then ok; else bad "JSON of the real zedrikfu"; cat "$d/out.txt"; fi
cmp -s "$d/flash.bin" "$d/flash.orig" && ok || bad "--check wrote"
# --transport usb takes USB control requests, and the report says so.
run "$d" --check --transport usb
status_is "$code" 0 "--check --transport usb"
has "transport: USB control requests" "$d/out.txt" "--check names the path"
# Started as the desktop entry starts it, from another folder with the
# release given by --firmware: the transport is chosen with that folder's
# ZEDRIKFU.ini, and auto takes the SCSI generic node.
desk=$work/desk
updater_folder "$desk/rel" "$updater" "$tool"
mkdir -p "$desk/bin" && mv "$desk/rel/zedrikfu" "$desk/bin/" && mv "$desk/rel/flash.bin" "$desk/"
bridge_section bridge >"$desk/devices.ini"
(cd "$desk" && "$vbridge" devices.ini -- bin/zedrikfu --firmware rel/MainFW.kqfw --check --verbose \
  </dev/null >out.txt 2>err.txt)
status_is $? 0 "--firmware rel/MainFW.kqfw --check from another folder"
has "zedrikfu: transport: SCSI generic /dev/sg" "$desk/err.txt" "--firmware: the release's devices on SCSI generic"
has "transport: SCSI generic" "$desk/out.txt" "--firmware: the report names SCSI generic"
# A bad --transport is an option error like any other.
(cd "$desk" && "$vbridge" devices.ini -- bin/zedrikfu --transport bogus </dev/null >out.txt 2>err.txt)
status_is $? 1 "--transport bogus"
has "usage: zedrikfu [OPTIONS]" "$desk/err.txt" "--transport bogus: the usage line"
lacks "ZEDRIKFU_TRANSPORT" "$desk/err.txt" "--transport bogus: no environment variable named"
run "$d" --read saved.bin
status_is "$code" 0 "--read"
cmp -s "$d/saved.bin" "$d/flash.bin" && ok || bad "--read is not the flash"
run "$d" --yes --backup backup.bin
status_is "$code" 0 "--yes --backup"
cmp -s "$d/backup.bin" "$d/flash.orig" && ok || bad "the backup is not the flash before the update"
has "The update was completed successfully." "$d/out.txt" "--yes: message 201"

# The header destroyed (the first erase block blank), then restored.
python3 -c "
import sys
d = bytearray(open(sys.argv[1], 'rb').read()); d[0:4096] = b'\xff' * 4096
open(sys.argv[1], 'wb').write(d)" "$d/flash.bin"
run "$d" --check
status_is "$code" 1 "--check over a destroyed header"
run "$d" --restore backup.bin --yes
status_is "$code" 0 "--restore"
cmp -s "$d/flash.bin" "$d/flash.orig" && ok || bad "--restore did not bring the flash back"
run "$d" --check
status_is "$code" 0 "--check after the restore"

# Two bridges: --device and --usb-id choose.
d=$work/two
updater_folder "$d" "$updater" "$tool"
cp "$d/flash.orig" "$d/second.bin"
{
  bridge_section first
  printf '\n[second]\nVendorID=0x3F1C\nProductID=0x0002\nChipID=318a\nFlashPart=Macronix MX25V512C\nFlashImage=second.bin\nTrace=second.trace\n'
} >"$d/devices.ini"
printf '[TargetInfo]\r\nTargetBridgeIC=QK9318A\r\n[SysInfo]\r\nSysInfoNum=2\r\nVenderID0=0x3F1C\r\nProductID0=0x0001\r\nVenderID1=0x3F1C\r\nProductID1=0x0002\r\n' >"$d/ZEDRIKFU.ini"
run "$d" --check --device 1:3 --usb-id 3f1c:0002
status_is "$code" 0 "--check --device 1:3"
has "USB 3f1c:0002 at bus 1 address 3" "$d/out.txt" "--device 1:3"
run "$d" --read second-saved.bin --usb-id 3f1c:0002
status_is "$code" 0 "--read --usb-id"
cmp -s "$d/second-saved.bin" "$d/second.bin" && ok || bad "--usb-id read the wrong bridge"
[ ! -s "$d/first.trace" ] && ok || bad "the first bridge was spoken to"
run "$d" --check --device 1:9
status_is "$code" 1 "--device where no device is"
has "Not found a target device!" "$d/out.txt" "--device nowhere: 203"
# A restore with two bridges connected chooses neither, --yes or not, and
# lists them; --device names the one. An existing backup is never replaced.
run "$d" --restore second-saved.bin --yes
status_is "$code" 1 "--restore with two bridges"
has "refused: 2 bridges are connected" "$d/err.txt" "--restore with two bridges: refused"
has "  USB 3f1c:0001 at bus 1 address 2" "$d/err.txt" "--restore with two bridges: the first listed"
has "  USB 3f1c:0002 at bus 1 address 3" "$d/err.txt" "--restore with two bridges: the second listed"
run "$d" --restore second-saved.bin --yes --device 1:3
status_is "$code" 2 "--restore --device 1:3 of what the flash holds"
cp "$d/second.bin" "$d/second.before"
run "$d" --yes --usb-id 3f1c:0002 --backup second-saved.bin
status_is "$code" 1 "--backup over an existing file"
has "cannot save the backup second-saved.bin: it exists" "$d/err.txt" "--backup over an existing file: cause"
cmp -s "$d/second.bin" "$d/second.before" && ok || bad "a refused backup let the update write"

summary "zedrikfu command line over emulated USB"

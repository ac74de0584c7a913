#!/usr/bin/env bash
# zedrikfu-sim's command line end to end, in scratch folders: --help,
# --version and bad options, --check and its JSON compared with the flash,
# --read and --backup byte-equal to the flash, --yes, --dir and --firmware,
# a restore over a destroyed header and its refusals, the choice of one of
# two bridges, the cause lines on standard error and --verbose.
set -u
unset DISPLAY WAYLAND_DISPLAY
sim=$(realpath "$1")
image=$(realpath "$2")
failures=0
checks=0
scratch=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$scratch"' EXIT
export XDG_STATE_HOME=$scratch/state

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect() {  # description command...: the command succeeds
  checks=$((checks + 1))
  local what=$1
  shift
  "$@" || fail "$what"
}
status_is() { checks=$((checks + 1)); [ "$1" -eq "$2" ] || fail "$3: exit $1, wanted $2"; }
has() { checks=$((checks + 1)); grep -qF -- "$1" "$2" || { fail "$3: no '$1' in $2"; sed 's/^/  | /' "$2"; }; }
differs() { checks=$((checks + 1)); ! cmp -s "$1" "$2" || fail "$3: $1 equals $2"; }
lacks() { checks=$((checks + 1)); ! grep -qF -- "$1" "$2" || fail "$3: '$1' in $2"; }

ini() {
  printf '[TargetInfo]\r\nTargetBridgeIC=QK9318A\r\n[SysInfo]\r\nSysInfoNum=1\r\nVenderID0=0x3F1C\r\nProductID0=0x0001\r\n'
}
# A folder with the program, the release files (firmware 01.20) and the
# default virtual bridge (two copies of 01.10 on a 1 MiB flash).
prepare() {
  mkdir -p "$1"
  cp "$sim" "$1/zedrikfu-sim"
  ini >"$1/ZEDRIKFU.ini"
  "$image" make-firmware --variant A --version 0x0120 --compat 0x0154 --random-size 20000 --seed 3 \
    -o "$1/MainFW.kqfw" >/dev/null || fail "make-firmware"
  (cd "$1" && ./zedrikfu-sim --check >/dev/null 2>&1)  # creates the virtual bridge
  cp "$1/bridge.bin" "$1/flash.orig"
}
run() {  # folder args...: status in $code, output in out.txt and err.txt
  local d=$1
  shift
  (cd "$d" && ./zedrikfu-sim "$@" </dev/null >out.txt 2>err.txt)
  code=$?
}
bounded() {  # folder args...: as run, ended after 10 s (status 124)
  local d=$1
  shift
  (cd "$d" && timeout 10 ./zedrikfu-sim "$@" </dev/null >out.txt 2>err.txt)
  code=$?
}

# --- help, version, bad options: nothing is touched --------------------------------
d=$scratch/options
mkdir -p "$d"
cp "$sim" "$d/zedrikfu-sim"
run "$d" --help
status_is "$code" 0 "--help"
for option in --dir --firmware --yes --check --json --backup --read --restore --device --usb-id \
  --transport --verbose --version "Exit status"; do
  has "$option" "$d/out.txt" "--help lists $option"
done
run "$d" --version
status_is "$code" 0 "--version"
version=$(sed -n 's/^project(ZEDRIKFU VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
expect "--version prints the project version $version" grep -qx "zedrikfu-sim $version" "$d/out.txt"
for bad in "--bogus" "--check --read x.bin" "--json" "--device 1" "--device 0:2" "--device 1:2:3" \
  "--usb-id 3f1c" "--usb-id 3f1cz:1" "--usb-id 13f1c:0001" "--transport pigeon" "--dir /nonexistent" \
  "--restore /nonexistent.bin" "--read" "extra-argument" "--check --restore x"; do
  # shellcheck disable=SC2086
  run "$d" $bad
  status_is "$code" 1 "bad option '$bad'"
  has "usage: zedrikfu-sim" "$d/err.txt" "usage line for '$bad'"
  [ -s "$d/out.txt" ] && fail "'$bad' printed on standard output"
done
expect "bad options created no virtual device" test ! -e "$d/virtual-devices.ini"

# --- check, and its JSON against the flash ------------------------------------------
d=$scratch/check
prepare "$d"
run "$d" --check
status_is "$code" 0 "--check with an update to do"
has "bridge: QK9318A (chip id 318a, compatibility 0x0154), USB 3f1c:0001 at bus 1 address 2" "$d/out.txt" "check: bridge"
has "flash: Winbond W25Q80BL, 1048576 bytes, erase block 4096 bytes" "$d/out.txt" "check: flash"
has "copy 1: offset 0x001000, version 01.10" "$d/out.txt" "check: copy 1"
has "CRC good" "$d/out.txt" "check: CRC"
has "file: ./MainFW.kqfw, 20016 bytes, version 01.20" "$d/out.txt" "check: file"
has "update: would write 2 copies" "$d/out.txt" "check: update"
expect "--check wrote nothing" cmp -s "$d/bridge.bin" "$d/flash.orig"
run "$d" --check --json
status_is "$code" 0 "--check --json"
expect "JSON follows the schema and matches the flash" python3 - "$d/out.txt" "$d/bridge.bin" "$d/MainFW.kqfw" <<'PY'
import json, struct, sys
report = json.load(open(sys.argv[1]))
flash = open(sys.argv[2], 'rb').read()
fw = open(sys.argv[3], 'rb').read()
keys = ["program", "programVersion", "result", "exitStatus", "message", "cause", "transport", "bridge", "flash",
        "copies", "installedVersion", "file", "update"]
assert list(report) == keys, list(report)
assert report["result"] == "update" and report["exitStatus"] == 0 and report["message"] is None
b = report["bridge"]
assert (b["variant"], b["chipId"], b["compatibility"], b["vendorId"], b["productId"], b["usbId"],
        b["bus"], b["address"]) == ("QK9318A", "318a", 0x154, 0x3F1C, 1, "3f1c:0001", 1, 2), b
assert {k: report["flash"][k] for k in ("part", "size", "eraseBlock")} == {
    "part": "Winbond W25Q80BL", "size": len(flash), "eraseBlock": 4096}, report["flash"]
# The check reads what the update uses: every block the plan erases is read
# whole, the rest of the flash is not read.
read = report["flash"]["bytesRead"]
assert report["update"]["eraseBlocks"] * 4096 <= read < len(flash), report["flash"]
for copy, field in zip(report["copies"], (36, 40)):
    offset = struct.unpack_from("<I", flash, field)[0]
    sig, size, ver, crc = struct.unpack_from("<IIHH", flash, offset)
    assert copy["offset"] == offset and copy["signature"] == sig and copy["codeSize"] == size, copy
    assert copy["version"] == {"text": "%X%X.%X%X" % (ver >> 12, ver >> 8 & 15, ver >> 4 & 15, ver & 15),
                               "value": ver}, copy
    assert copy["crc"] == "good" and copy["variant"] == "QK9318A" and copy["inside"] is True
    assert copy["erased"] is False
assert len(report["copies"]) == 2
assert report["installedVersion"] == {"text": "01.10", "value": 0x110}
assert report["file"] == {"path": "./MainFW.kqfw", "size": len(fw),
                          "version": {"text": "01.20", "value": 0x120}, "step": "newer"}
u = report["update"]
assert u["copies"] == 2 and u["bytes"] == 2 * len(fw) and u["eraseBlocks"] == 10, u
assert u["commands"]["write"] == u["commands"]["verify"] == 2 * -(-len(fw) // 48), u
PY
lacks "./ZEDRIKFU.ini" "$d/out.txt" "JSON alone on standard output"
has "./ZEDRIKFU.ini" "$d/err.txt" "path lines go to standard error with --json"

# An erased copy (its area header all 0xFF) shows as erased, no version; one
# byte of it not 0xFF and it is a (broken) copy again; no copy is "none".
d=$scratch/erased
prepare "$d"
while read -r keep verdict; do
  python3 -c "
import struct, sys
d = bytearray(open(sys.argv[1], 'rb').read())
o2 = struct.unpack_from('<I', d, 40)[0]
d[o2:o2 + 0x4010] = b'\xff' * 0x4010
if int(sys.argv[2]) >= 0: d[o2 + int(sys.argv[2])] = 0x7F
open(sys.argv[1], 'wb').write(d)" "$d/bridge.bin" "$keep"
  run "$d" --check
  if [ "$verdict" = erased ]; then
    has "copy 2: offset 0x011000, erased" "$d/out.txt" "erased copy: text"
  else
    has "copy 2: offset 0x011000, version FF.FF" "$d/out.txt" "copy with byte $keep kept: text"
  fi
  lacks "1515.1515" "$d/out.txt" "no version of 0xFFFF shown ($keep)"
  run "$d" --check --json
  expect "erased copy ($keep): JSON" python3 - "$d/out.txt" "$verdict" <<'PY'
import json, sys
copy = json.load(open(sys.argv[1]))["copies"][1]
if sys.argv[2] == "erased":
    assert copy["erased"] is True and copy["version"] is None and copy["crc"] == "erased", copy
    assert copy["signature"] is None and copy["codeSize"] is None, copy
else:
    assert copy["erased"] is False and copy["crc"] == "broken", copy
    assert copy["version"] == {"text": "FF.FF", "value": 0xFFFF}, copy
PY
  cp "$d/flash.orig" "$d/bridge.bin"
done <<'CASES'
-1 erased
0 copy
15 copy
16 erased
CASES
"$image" make-firmware --variant A --version 0x0110 --compat 0x0154 --random-size 16000 --seed 8 \
  -o "$d/one.kqfw" >/dev/null
"$image" make-flash --part "Winbond W25Q80BL" --variant A --copies 1 --firmware "$d/one.kqfw" \
  -o "$d/bridge.bin" >/dev/null
run "$d" --check
has "copy 2: none" "$d/out.txt" "a flash with one copy"
d=$scratch/check

# --- read and backup byte-equal to the flash; --yes ---------------------------------------
run "$d" --read saved.bin
status_is "$code" 0 "--read"
expect "--read saved the flash byte for byte" cmp -s "$d/saved.bin" "$d/bridge.bin"
expect "--read left no temporary file" test -z "$(ls "$d" | grep 'saved.bin.')"
run "$d" --yes --backup before.bin --verbose
status_is "$code" 0 "--yes --backup update"
expect "backup equals the flash before the update" cmp -s "$d/before.bin" "$d/flash.orig"
has "The update was completed successfully." "$d/out.txt" "--yes: message 201"
lacks "Do you want to update" "$d/out.txt" "--yes asks nothing"
has "zedrikfu-sim: writing the flash" "$d/err.txt" "--verbose: writing phase"
has "zedrikfu-sim: erasing the flash" "$d/err.txt" "--verbose: erasing phase"
has "(verifying," "$d/out.txt" "progress names the phase"
expect "--verbose: each phase named once" test "$(grep -c '^zedrikfu-sim: reading the flash$' "$d/err.txt")" -eq 1
run "$d" --check --verbose
expect "--check --verbose: the read named once" \
  test "$(grep -c '^zedrikfu-sim: reading the flash$' "$d/err.txt")" -eq 1
"$image" inspect "$d/bridge.bin" >"$d/inspect.txt"
has "installed version (for QK9318A): 01.20" "$d/inspect.txt" "--yes wrote the new firmware"
run "$d" --check --json
status_is "$code" 2 "--check after the update"
expect "JSON says up to date" python3 -c "import json,sys; r=json.load(open(sys.argv[1])); assert r['result']=='up-to-date' and r['message']['id']==200 and r['update'] is None" "$d/out.txt"

# A backup that cannot be written: nothing is erased, message 202, the cause.
d=$scratch/badbackup
prepare "$d"
run "$d" --yes --backup no/such/folder/b.bin
status_is "$code" 1 "unwritable backup"
has "The firmaware update failed!" "$d/out.txt" "unwritable backup: message 202"
has "cannot save the backup no/such/folder/b.bin" "$d/err.txt" "unwritable backup: cause"
expect "unwritable backup: flash unchanged" cmp -s "$d/bridge.bin" "$d/flash.orig"
# Without --yes and without an answer: Cancel, as before.
run "$d"
status_is "$code" 2 "no answer is Cancel"
expect "Cancel wrote nothing" cmp -s "$d/bridge.bin" "$d/flash.orig"

# --- --dir and --firmware ------------------------------------------------------------------
d=$scratch/dir
prepare "$d"
mkdir -p "$d/release" "$d/elsewhere"
mv "$d/ZEDRIKFU.ini" "$d/release/"
mv "$d/MainFW.kqfw" "$d/elsewhere/new.kqfw"
run "$d" --check --dir release
status_is "$code" 1 "--dir without the firmware"
has "FW file is not exists." "$d/out.txt" "--dir: message 105"
has "cannot open the firmware file release/MainFW.kqfw: No such file or directory" "$d/err.txt" "--dir: cause names the path"
run "$d" --check --dir release --firmware elsewhere/new.kqfw
status_is "$code" 0 "--dir with --firmware"
has "file: elsewhere/new.kqfw, 20016 bytes, version 01.20" "$d/out.txt" "--firmware is used"
(cd "$scratch" && "$d/zedrikfu-sim" --dir "$d/release" --firmware "$d/elsewhere/new.kqfw" --yes </dev/null >"$d/out.txt" 2>&1)
status_is $? 0 "update from another folder"
mv "$d/elsewhere/new.kqfw" "$d/release/"
(cd "$scratch" && "$d/zedrikfu-sim" --check --firmware "$d/release/new.kqfw" </dev/null >"$d/out.txt" 2>&1)
status_is $? 2 "--firmware alone takes ZEDRIKFU.ini from the file's folder"
has "$d/release/ZEDRIKFU.ini" "$d/out.txt" "ZEDRIKFU.ini beside the firmware file"
run "$d" --check --firmware
status_is "$code" 1 "--firmware without a file is MainFW.kqfw"
has "cannot open the system information file ./ZEDRIKFU.ini" "$d/err.txt" "--firmware without a file"
run "$d" --check
status_is "$code" 1 "no ZEDRIKFU.ini in the program's folder"
has "cannot open the system information file ./ZEDRIKFU.ini: No such file or directory" "$d/err.txt" "104: cause"

# --- inputs that are no release files end at once, bounded, with one message -------------
# Each case: the option, the path, the message on standard output, the cause.
d=$scratch/inputs
prepare "$d"
sed -i 's/^Trace=.*/Trace=trace.txt/' "$d/virtual-devices.ini"
mkfifo "$d/fifo"
mkdir -p "$d/folder"
truncate -s 3G "$d/huge.kqfw"
truncate -s $((65536 + 17)) "$d/over.kqfw"
truncate -s $((65536 + 16)) "$d/limit.kqfw"
truncate -s 5G "$d/huge.bin"
truncate -s $((16777216 + 1)) "$d/over.bin"
while IFS='|' read -r option path message cause; do
  what="$option $path"
  start=$(date +%s%N)
  # shellcheck disable=SC2086
  bounded "$d" $option "$path" --yes
  [ "$code" -eq 124 ] && fail "$what: still running after 10 s"
  elapsed=$((($(date +%s%N) - start) / 1000000))
  checks=$((checks + 1))
  [ "$elapsed" -lt 3000 ] || fail "$what: took $elapsed ms"
  status_is "$code" 1 "$what"
  [ -n "$message" ] && has "$message" "$d/out.txt" "$what: message"
  has "$cause" "$d/err.txt" "$what: cause"
  expect "$what: one cause line" test "$(wc -l <"$d/err.txt")" -eq 1
done <<'CASES'
--firmware|fifo|FW file is not exists.|cannot open the firmware file fifo: it is a FIFO, not a regular file
--firmware|folder|FW file is not exists.|cannot open the firmware file folder: it is a folder, not a regular file
--firmware|/dev/zero|FW file is not exists.|cannot open the firmware file /dev/zero: it is a character device, not a regular file
--firmware|huge.kqfw|FW file is not exists.|huge.kqfw: it holds 3221225472 bytes, more than 65552 bytes
--firmware|over.kqfw|FW file is not exists.|over.kqfw: it holds 65553 bytes, more than 65552 bytes
--restore|fifo||cannot use the image fifo: it is a FIFO, not a regular file
--restore|/dev/zero||cannot use the image /dev/zero: it is a character device, not a regular file
--restore|huge.bin||cannot use the image huge.bin: it holds 5368709120 bytes, more than 16777216 bytes
--restore|over.bin||cannot use the image over.bin: it holds 16777217 bytes, more than 16777216 bytes
CASES
expect "refused inputs sent no erase or write" test -z "$(grep -E '^USB 40 E[57] ' "$d/trace.txt")"
expect "refused inputs left the flash alone" cmp -s "$d/bridge.bin" "$d/flash.orig"
# At the limits themselves the files are read and judged by their contents.
run "$d" --check --firmware limit.kqfw
lacks "cannot open the firmware file" "$d/err.txt" "a firmware file of 65552 bytes is read"
truncate -s 16777216 "$d/huge.bin"
run "$d" --restore huge.bin --yes
lacks "cannot use the image" "$d/err.txt" "an image of 16 MiB is read"
# ZEDRIKFU.ini: 1 MiB is read, one byte more is not; a FIFO is not waited for.
cp "$d/ZEDRIKFU.ini" "$d/ini.orig"
{ cat "$d/ini.orig"; head -c $((1048576 - $(stat -c %s "$d/ini.orig"))) /dev/zero | tr '\0' ';'; } >"$d/ZEDRIKFU.ini"
run "$d" --check
status_is "$code" 0 "ZEDRIKFU.ini of 1 MiB"
printf ';' >>"$d/ZEDRIKFU.ini"
run "$d" --check
status_is "$code" 1 "ZEDRIKFU.ini of 1 MiB + 1"
has "./ZEDRIKFU.ini: it holds 1048577 bytes, more than 1048576" "$d/err.txt" "ZEDRIKFU.ini too large: cause"
rm "$d/ZEDRIKFU.ini" && mkfifo "$d/ZEDRIKFU.ini"
bounded "$d" --check
status_is "$code" 1 "ZEDRIKFU.ini a FIFO"
has "System information file (ZEDRIKFU.ini) is not exists." "$d/out.txt" "ZEDRIKFU.ini a FIFO: message 104"
has "./ZEDRIKFU.ini: it is a FIFO, not a regular file" "$d/err.txt" "ZEDRIKFU.ini a FIFO: cause"

# --- saved images: links followed, other files refused, backups never replaced ------------
d=$scratch/saving
prepare "$d"
sed -i 's/^Trace=.*/Trace=trace.txt/' "$d/virtual-devices.ini"
mkdir -p "$d/images" && echo old >"$d/images/flash.bin"
ln -s images/flash.bin "$d/link.bin"
run "$d" --read link.bin
status_is "$code" 0 "--read through a link"
expect "--read through a link kept the link" test -L "$d/link.bin"
expect "--read through a link wrote its target" cmp -s "$d/images/flash.bin" "$d/bridge.bin"
expect "--read through a link left no temporary file" test -z "$(ls "$d" "$d/images" | grep -E '\.bin\.')"
mkfifo "$d/fifo"
rm -f "$d/trace.txt"
for target in fifo /dev/null; do
  bounded "$d" --read $target
  status_is "$code" 1 "--read $target"
  has "cannot save the flash to $target: it is a" "$d/err.txt" "--read $target: cause"
done
expect "--read to a FIFO kept the FIFO" test -p "$d/fifo"
expect "--read to a FIFO or device read nothing" test ! -e "$d/trace.txt"
echo "an older backup" >"$d/backup.bin"
for args in "--yes --backup backup.bin" "--restore images/flash.bin --yes --backup backup.bin" \
  "--yes --backup link.bin"; do
  name=${args##* }
  # shellcheck disable=SC2086
  run "$d" $args
  status_is "$code" 1 "$args"
  has "cannot save the backup $name: it exists" "$d/err.txt" "$args: cause names the file"
done
expect "an existing backup is kept" test "$(cat "$d/backup.bin")" = "an older backup"
expect "a refused backup touched no device" test ! -e "$d/trace.txt"
expect "a refused backup left the flash alone" cmp -s "$d/bridge.bin" "$d/flash.orig"

# --- the JSON report stays valid JSON for paths that are not UTF-8 ----------------------
d=$scratch/$(printf 'bytes\xff\xfeF')
prepare "$d"
cp "$d/MainFW.kqfw" "$d/$(printf 'fw\xe9.kqfw')"
for name in "$(printf 'fw\xe9.kqfw')" "$(printf 'none\xc3.kqfw')"; do
  (cd "$d" && ./zedrikfu-sim --check --json --firmware "$d/$name" </dev/null >out.txt 2>err.txt)
  code=$?
  checks=$((checks + 1))
  [ "$code" -le 1 ] || fail "JSON with a non-UTF-8 path: exit $code"
  expect "JSON with a non-UTF-8 path is valid and marks the bytes" python3 - "$d/out.txt" "$code" <<'PY'
import json, sys
report = json.loads(open(sys.argv[1], 'rb').read().decode('utf-8'))
assert report["exitStatus"] == int(sys.argv[2]), report
text = report["file"]["path"] if report["file"] else report["cause"]
assert "\ufffd" in text and "bytes" in text, text
PY
done

# --- --check and the update agree on every refusal -------------------------------------
# Each case: a name, the message id and exit status both must end with,
# extra options for both runs, and the shell command that sets the folder up.
while IFS='|' read -r name id status options setup; do
  d=$scratch/agree-$name
  prepare "$d"
  sed -i 's/^Trace=.*/Trace=trace.txt/' "$d/virtual-devices.ini"
  (cd "$d" && eval "$setup") || fail "$name: setup"
  cp "$d/bridge.bin" "$d/before.bin"
  # shellcheck disable=SC2086
  run "$d" --check --json $options
  status_is "$code" "$status" "$name: --check --json"
  text=$(python3 - "$d/out.txt" "$id" "$code" <<'PY'
import json, sys
report = json.load(open(sys.argv[1]))
assert report["exitStatus"] == int(sys.argv[3]), report["exitStatus"]
if int(sys.argv[2]) == 0:  # accepted: no message, an update, and the update's own report
    assert report["message"] is None and report["update"] is not None, report
    print("The update was completed successfully.")
else:
    assert report["message"]["id"] == int(sys.argv[2]), report["message"]
    assert report["update"] is None
    print(report["message"]["text"])
PY
  ) || fail "$name: the report does not name message $id"
  expect "$name: --check sent no erase or write" test -z "$(grep -sE '^USB 40 E[57] ' "$d/trace.txt")"
  # shellcheck disable=SC2086
  run "$d" --yes $options
  status_is "$code" "$status" "$name: the update"
  [ -n "$text" ] && has "$text" "$d/out.txt" "$name: the update shows message $id"
  [ "$status" -ne 0 ] && expect "$name: the update wrote nothing" cmp -s "$d/bridge.bin" "$d/before.bin"
done <<'CASES'
no-ini|104|1||rm ZEDRIKFU.ini
no-firmware|105|1||rm MainFW.kqfw
read-fails|107|1||sed -i 's/^FailAtCommand=.*/FailAtCommand=100/' virtual-devices.ini
latest|200|2||"$image" make-firmware --variant A --version 0x0110 --compat 0x0154 --random-size 9000 -o MainFW.kqfw >/dev/null
sizes-differ|202|1||printf '\001' | dd of=MainFW.kqfw bs=1 seek=6 conv=notrunc 2>/dev/null
header-destroyed|202|1||python3 -c "import sys; d = bytearray(open('bridge.bin', 'rb').read()); d[5] ^= 1; open('bridge.bin', 'wb').write(d)"
busy|206|1||sed -i 's/^Busy=.*/Busy=1/' virtual-devices.ini
no-device-there|203|1|--device 1:9|true
other-product|203|1|--usb-id 3f1c:0002|true
compatibility-above|204|1||sed -i 's/^Compat=.*/Compat=0x0160/' virtual-devices.ini
compatibility-below|204|1||sed -i 's/^Compat=.*/Compat=0x014F/' virtual-devices.ini
compatibility-low-bits|0|0||sed -i 's/^Compat=.*/Compat=0x015F/' virtual-devices.ini
compatibility-low-bits-0|0|0||sed -i 's/^Compat=.*/Compat=0x0150/' virtual-devices.ini
other-variant|204|1||sed -i 's/QK9318A/QK9318E/' ZEDRIKFU.ini
identity|205|1||sed -i 's/^ProductID=.*/ProductID=0x0002/' virtual-devices.ini && sed -i 's/ProductID0=0x0001/ProductID0=0x0002/' ZEDRIKFU.ini
CASES

# A 205 refusal comes after the flash was read: --check names the file's
# version and the installed one, as far as the run got.
d=$scratch/identity-versions
prepare "$d"
sed -i 's/^ProductID=.*/ProductID=0x0002/' "$d/virtual-devices.ini"
sed -i 's/ProductID0=0x0001/ProductID0=0x0002/' "$d/ZEDRIKFU.ini"
run "$d" --check --json
status_is "$code" 1 "205: --check --json"
expect "205: the JSON names the file's and the installed version" python3 - "$d/out.txt" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))
assert r["message"]["id"] == 205, r["message"]
assert r["file"]["version"]["text"] == "01.20", r["file"]
assert r["installedVersion"]["text"] == "01.10", r["installedVersion"]
PY
run "$d" --check
status_is "$code" 1 "205: --check"
has "version 01.20" "$d/out.txt" "205: the file's version"
has "installed version: 01.10" "$d/out.txt" "205: the installed version"
lacks "00.00" "$d/out.txt" "205: no version 00.00"

# The way back and a reinstall happen only when asked for, and are said
# before the write; without the options an older or equal file writes nothing.
d=$scratch/version-policy
prepare "$d"
export XDG_STATE_HOME=$d/state  # this block's history alone
"$image" make-firmware --variant A --version 0x0105 --compat 0x0154 --random-size 20000 --seed 5 \
  -o "$d/MainFW.kqfw" >/dev/null
run "$d" --check
status_is "$code" 2 "older file: --check"
has "version: the file goes back from 01.10 to the OLDER version 01.05; --allow-older writes it" \
  "$d/out.txt" "older file: --check names the option"
run "$d" --yes
status_is "$code" 2 "older file: --yes"
expect "older file: --yes wrote nothing" cmp -s "$d/bridge.bin" "$d/flash.orig"
run "$d" --check --json --allow-older
status_is "$code" 0 "older file: --check --allow-older"
expect "older file: the JSON names the step" python3 - "$d/out.txt" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))
assert r["file"]["step"] == "older", r["file"]
assert r["update"]["copies"] == 2, r["update"]
PY
(cd "$d" && echo Cancel | ./zedrikfu-sim --allow-older >out.txt 2>err.txt)
status_is "$?" 2 "older file: the question answered Cancel"
has "to the OLDER version 01.05" "$d/out.txt" "older file: the question names the step"
expect "older file: Cancel wrote nothing" cmp -s "$d/bridge.bin" "$d/flash.orig"
run "$d" --yes --allow-older
status_is "$code" 0 "older file: --yes --allow-older"
has "from version 01.10 to the OLDER version 01.05" "$d/out.txt" "older file: said before the write"
run "$d" --check
has "copy 2: offset 0x011000, version 01.05" "$d/out.txt" "older file: copy 2 written"
cp "$d/bridge.bin" "$d/flash.older"
run "$d" --yes --allow-reinstall
status_is "$code" 2 "reinstall over identical copies"
expect "reinstall over identical copies wrote nothing" cmp -s "$d/bridge.bin" "$d/flash.older"
python3 -c "
import sys
d = bytearray(open(sys.argv[1], 'rb').read())
d[0x11000 + 100] ^= 1
open(sys.argv[1], 'wb').write(d)" "$d/bridge.bin"
run "$d" --yes --allow-reinstall
status_is "$code" 0 "reinstall repairs a broken copy"
expect "reinstall repairs a broken copy: the flash is whole again" cmp -s "$d/bridge.bin" "$d/flash.older"
run "$d" --read "$d/x.bin" --allow-older
status_is "$code" 1 "--allow-older with --read"
# The two writes, and only they, left a record each: the way back, then the
# repair of the broken copy.
expect "history: one record for each write" python3 - "$d/state/zedrikfu/history.jsonl" "$(realpath "$d")" <<'PY'
import json, sys
lines = open(sys.argv[1]).read().splitlines()
assert len(lines) == 2, lines
back, repair = (json.loads(line) for line in lines)
assert [c["version"] for c in back["before"]] == ["01.10", "01.10"], back
assert back["version_after"] == "01.05" and back["result"]["exit_status"] == 0, back
assert (back["device"]["bus"], back["device"]["address"], back["device"]["chip_id"]) == (1, 2, "318a")
assert back["file"]["path"] == sys.argv[2] + "/MainFW.kqfw", back["file"]
assert len(back["file"]["sha256"]) == 64, back["file"]
assert [c["state"] for c in repair["before"]] == ["good", "broken"], repair
assert repair["version_after"] == "01.05", repair
PY
run "$d" --history --json --device 1:2
expect "history: --history --json lists both" python3 -c "
import json, sys; r = json.load(open(sys.argv[1])); assert len(r) == 2, r" "$d/out.txt"
run "$d" --history --device 1:3
status_is "$code" 0 "history: another device"
lacks "01.05" "$d/out.txt" "history: another device has no record"
export XDG_STATE_HOME=$scratch/state

# A parameter area left half-written (its manufacturer text runs past its
# field): 205, and the conversion's line is part of the cause on standard
# error, never among the messages on standard output.
d=$scratch/half-written
prepare "$d"
python3 -c "
import struct, sys
d = bytearray(open(sys.argv[1], 'rb').read())
p = struct.unpack_from('<I', d, 32)[0]
d[p + 64] = 64
d[p + 66:p + 130] = b'a\\0' * 32
open(sys.argv[1], 'wb').write(d)" "$d/bridge.bin"
for args in "--yes" "--check"; do
  run "$d" $args
  status_is "$code" 1 "half-written parameter area: $args"
  has "The system information is different!" "$d/out.txt" "half-written parameter area: $args: 205"
  lacks "output buffer is small" "$d/out.txt" "half-written parameter area: $args: standard output"
  has "(its text does not convert: output buffer is small; after an interrupted update, restore the backup)" \
    "$d/err.txt" "half-written parameter area: $args: the cause"
done

# The commands --check counts are those the update then sends, for a code
# size that is no multiple of the 48-byte transfer unit (20017-byte file).
d=$scratch/counts
prepare "$d"
"$image" make-firmware --variant A --version 0x0120 --compat 0x0154 --random-size 20001 --seed 9 \
  -o "$d/MainFW.kqfw" >/dev/null
sed -i 's/^Trace=.*/Trace=trace.txt/' "$d/virtual-devices.ini"
run "$d" --check --json
status_is "$code" 0 "counts: --check"
cp "$d/out.txt" "$d/report.json"
# --check reads the bytes it reports: its flash reads past the header check
# add up to flash.bytesRead, each byte once, and leave most of the flash unread.
expect "--check reads the bytes it reports, each once" \
  python3 - "$d/report.json" "$d/trace.txt" <<'PY'
import json, sys
flash = json.load(open(sys.argv[1]))["flash"]
reads = []
for line in open(sys.argv[2]):
    f = line.split()
    if f[1:3] == ["C0", "E7"]:
        reads.append((int(f[5] + f[4] + f[3], 16), int(f[-2])))
reads = reads[1:]  # the header, read again by the read itself
assert sum(n for _, n in reads) == flash["bytesRead"], (reads[:4], flash)
assert all(a + n <= b for (a, n), (b, _) in zip(reads, reads[1:])), "a byte read twice or out of order"
assert flash["bytesRead"] < flash["size"] // 4, flash
PY
rm -f "$d/trace.txt"
run "$d" --yes
status_is "$code" 0 "counts: update"
expect "the update sends the erase, write and verify commands --check counted" \
  python3 - "$d/report.json" "$d/trace.txt" "$d/MainFW.kqfw" <<'PY'
import json, os, sys
report = json.load(open(sys.argv[1]))
assert os.path.getsize(sys.argv[3]) == 20017
counted = report["update"]["commands"]
sent = {"erase": 0, "write": 0, "verify": 0}
writing = False
for line in open(sys.argv[2]):
    f = line.split()
    if f[1:3] == ["40", "E5"]:
        sent["erase"] += 1
        writing = True
    elif f[1:3] == ["40", "E7"]:
        sent["write"] += 1
        writing = True
    elif f[1:3] == ["C0", "E7"] and writing:
        sent["verify"] += 1
assert sent == counted, (sent, counted)
assert report["update"]["bytes"] == 2 * 20017, report["update"]
PY

# A rerun after an update that stopped after copy 1: copy 1 holds the file
# already, copy 2 the old firmware. Only copy 2 is erased and written.
d=$scratch/rerun
prepare "$d"
"$image" make-firmware --variant A --version 0x0110 --compat 0x0154 --random-size 20000 --seed 4 \
  -o "$d/old.kqfw" >/dev/null
"$image" make-flash --part "Winbond W25Q80BL" --variant A --copies 2 --firmware "$d/MainFW.kqfw" \
  --firmware2 "$d/old.kqfw" -o "$d/bridge.bin" >/dev/null
sed -i 's/^Trace=.*/Trace=trace.txt/' "$d/virtual-devices.ini"
run "$d" --check --json
status_is "$code" 0 "rerun: --check"
cp "$d/out.txt" "$d/report.json"
rm -f "$d/trace.txt"
run "$d" --yes
status_is "$code" 0 "rerun: update"
expect "a rerun writes only the copy that does not hold the file" \
  python3 - "$d/report.json" "$d/trace.txt" <<'PY'
import json, sys
update = json.load(open(sys.argv[1]))["update"]
assert update["copies"] == 1 and update["unchangedRegions"] == 1, update
assert update["bytes"] == 20016, update
erases = sum(1 for line in open(sys.argv[2]) if line.split()[1:3] == ["40", "E5"])
assert erases == update["eraseBlocks"] and erases <= 6, (erases, update)
PY
"$image" inspect "$d/bridge.bin" >"$d/inspect.txt"
has "installed version (for QK9318A): 01.20" "$d/inspect.txt" "rerun: both copies hold the file"

# --- a write failure names the command and the address ------------------------------------
d=$scratch/writefail
prepare "$d"
# 20 commands into the write: past what a check (the read) sends.
sed -i 's/^Trace=.*/Trace=trace.txt/' "$d/virtual-devices.ini"
run "$d" --check
sed -i "s/^FailAtCommand=.*/FailAtCommand=$(($(wc -l <"$d/trace.txt") + 20))/" "$d/virtual-devices.ini"
run "$d" --yes
status_is "$code" 1 "write failure"
has "The firmaware update failed!" "$d/out.txt" "write failure: 202"
expect "write failure: cause names the command and the flash address" \
  grep -qE '^zedrikfu-sim: the (erase|write|read)[^:]* at flash address 0x[0-9A-F]{6} failed' "$d/err.txt"

# --- restore over a destroyed header ----------------------------------------------------------
d=$scratch/restore
prepare "$d"
run "$d" --read good.bin
python3 -c "
import sys
d = bytearray(open(sys.argv[1], 'rb').read()); d[0:4096] = b'\xff' * 4096
open(sys.argv[1], 'wb').write(d)" "$d/bridge.bin"
cp "$d/bridge.bin" "$d/broken.bin"
run "$d" --check
status_is "$code" 1 "check over a destroyed header"
has "The firmaware update failed!" "$d/out.txt" "destroyed header: 202"
run "$d" --restore good.bin
status_is "$code" 2 "restore without an answer is Cancel"
has "1 of 256 erase blocks differ (0x000000-0x000FFF)" "$d/out.txt" "restore shows what differs"
expect "cancelled restore wrote nothing" cmp -s "$d/bridge.bin" "$d/broken.bin"
cp "$d/good.bin" "$d/short.bin" && truncate -s 524288 "$d/short.bin"
run "$d" --restore short.bin --yes
status_is "$code" 1 "restore of an image of another size"
has "refused: the image holds 524288 bytes" "$d/err.txt" "size refusal"
python3 -c "
import sys
d = bytearray(open(sys.argv[1], 'rb').read()); d[30] ^= 0x5A
open(sys.argv[2], 'wb').write(d)" "$d/good.bin" "$d/badcrc.bin"
run "$d" --restore badcrc.bin --yes
status_is "$code" 1 "restore of an image with a broken header"
has "header CRC of the image badcrc.bin does not hold" "$d/err.txt" "CRC refusal"
"$image" make-firmware --variant E --version 0x0120 --compat 0x0154 --random-size 9000 --seed 4 -o "$d/e.kqfw" >/dev/null
"$image" make-flash --part "Winbond W25Q80BL" --variant E --copies 2 --firmware "$d/e.kqfw" -o "$d/e.bin" >/dev/null
run "$d" --restore e.bin --yes
status_is "$code" 1 "restore of an image for the other variant"
has "firmware for QK9318E; the bridge is a QK9318A" "$d/err.txt" "variant refusal"
expect "refused restores wrote nothing" cmp -s "$d/bridge.bin" "$d/broken.bin"
sed -i 's/^Trace=.*/Trace=trace.txt/' "$d/virtual-devices.ini"
run "$d" --restore good.bin --yes --backup broken-as-read.bin
status_is "$code" 0 "restore"
expect "restore brought the flash back" cmp -s "$d/bridge.bin" "$d/good.bin"
expect "restore's backup is the flash as it was" cmp -s "$d/broken-as-read.bin" "$d/broken.bin"
expect "restore erased only the block that differs" \
  test "$(grep -c '^USB 40 E5 ' "$d/trace.txt")" -eq 1
run "$d" --check
status_is "$code" 0 "check after the restore"
run "$d" --restore good.bin --yes
status_is "$code" 2 "restore of what the flash holds"

# The image's firmware must suit the bridge's compatibility word (0x0154):
# the low four bits may differ, the next bit may not. Judged also while the
# device's header is destroyed (its identity unknown).
python3 -c "
import sys
d = bytearray(open(sys.argv[1], 'rb').read()); d[0:4096] = b'\xff' * 4096
open(sys.argv[1], 'wb').write(d)" "$d/bridge.bin"
cp "$d/bridge.bin" "$d/broken.bin"
while read -r compat verdict; do
  "$image" make-firmware --variant A --version 0x0110 --compat "$compat" --random-size 16000 --seed 7 \
    -o "$d/c.kqfw" >/dev/null
  "$image" make-flash --part "Winbond W25Q80BL" --variant A --copies 2 --firmware "$d/c.kqfw" \
    -o "$d/c.bin" >/dev/null
  run "$d" --restore c.bin
  if [ "$verdict" = refused ]; then
    status_is "$code" 1 "restore of firmware needing $compat"
    has "refused: the firmware of the image c.bin needs compatibility $compat; the bridge reports 0x0154" \
      "$d/err.txt" "compatibility $compat: cause"
    lacks "Do you want to restore" "$d/out.txt" "compatibility $compat: no question"
  else
    status_is "$code" 2 "restore of firmware needing $compat reaches the question"
    has "Do you want to restore the flash?" "$d/out.txt" "compatibility $compat: question"
  fi
done <<'CASES'
0x0154 accepted
0x015F accepted
0x0164 refused
0x0144 refused
0x8154 refused
CASES
expect "compatibility refusals left the flash alone" cmp -s "$d/bridge.bin" "$d/broken.bin"
cp "$d/good.bin" "$d/bridge.bin"

# With the device's header readable, an image of another device is refused:
# USB ids, release number and the text of each string slot (its length byte
# and the bytes it counts; the byte after the counted text is no part of it).
p=$(python3 -c "import struct,sys; print(struct.unpack_from('<I', open(sys.argv[1],'rb').read(), 32)[0])" "$d/good.bin")
while read -r offset verdict field; do
  python3 -c "
import sys
d = bytearray(open(sys.argv[1], 'rb').read()); d[int(sys.argv[3])] ^= 0x02
open(sys.argv[2], 'wb').write(d)" "$d/good.bin" "$d/other.bin" $((p + offset))
  run "$d" --restore other.bin
  if [ "$verdict" = refused ]; then
    status_is "$code" 1 "restore of an image with another $field"
    has "refused: the image other.bin belongs to another device" "$d/err.txt" "$field: cause"
  else
    status_is "$code" 2 "restore of an image that differs past the $field"
    has "Do you want to restore the flash?" "$d/out.txt" "past the $field: question"
  fi
done <<'CASES'
32 refused vendor id
35 refused product id
36 refused release number
37 refused release number
64 refused manufacturer length
66 refused manufacturer text
77 refused manufacturer text
78 accepted manufacturer text
128 refused product length
157 refused product text
158 accepted product text
192 refused third string length
194 accepted third string text
CASES
cp "$d/good.bin" "$d/other.bin" && printf '\x02' | dd of="$d/other.bin" bs=1 seek=$((p + 37)) conv=notrunc 2>/dev/null
run "$d" --restore other.bin
has "(USB 3f1c:0001, release 0x0200, strings \"ZEDRIK\", \"QK9318 Storage\", \"\"); the device's flash holds USB 3f1c:0001, release 0x0100, strings \"ZEDRIK\", \"QK9318 Storage\", \"\"" \
  "$d/err.txt" "identity refusal names both identities"
expect "identity refusals left the flash alone" cmp -s "$d/bridge.bin" "$d/good.bin"

# Several blocks differ: each is erased and written, the header block last.
python3 -c "
import sys
d = bytearray(open(sys.argv[1], 'rb').read())
for a in (0, 0x5000, 0x12000): d[a:a + 4096] = b'\xff' * 4096
open(sys.argv[1], 'wb').write(d)" "$d/bridge.bin"
rm -f "$d/trace.txt"
run "$d" --restore good.bin --yes
status_is "$code" 0 "restore of three blocks"
expect "restore of three blocks brought the flash back" cmp -s "$d/bridge.bin" "$d/good.bin"
expect "restore erases the header block last and writes it after every other block" \
  python3 - "$d/trace.txt" <<'PY'
import sys
erases, writes = [], []
for n, line in enumerate(open(sys.argv[1])):
    f = line.split()
    if f[1:3] in (["40", "E5"], ["40", "E7"]):
        address = int(f[3], 16) | int(f[4], 16) << 8 | int(f[5], 16) << 16 | int(f[6], 16) << 24
        (erases if f[2] == "E5" else writes).append((n, address))
assert [a for _, a in erases] == [0x5000, 0x12000, 0], erases
last_erase = erases[-1][0]
assert all(a >= 0x1000 for n, a in writes if n < last_erase), writes
assert writes and all(a < 0x1000 for n, a in writes if n > last_erase), writes
assert any(n > last_erase for n, _ in writes)
PY

# A restore that fails says so, after message 202.
python3 -c "
import sys
d = bytearray(open(sys.argv[1], 'rb').read()); d[0x5000:0x6000] = b'\xff' * 4096
open(sys.argv[1], 'wb').write(d)" "$d/bridge.bin"
rm -f "$d/trace.txt"
run "$d" --restore good.bin
sed -i "s/^FailAtCommand=.*/FailAtCommand=$(($(wc -l <"$d/trace.txt") + 6))/" "$d/virtual-devices.ini"
run "$d" --restore good.bin --yes
status_is "$code" 1 "failed restore"
has "The firmaware update failed!" "$d/out.txt" "failed restore: message 202"
has "The restore of the flash failed." "$d/out.txt" "failed restore: says what failed"
expect "failed restore: the cause names the command" \
  grep -qE '^zedrikfu-sim: (verify: )?the (erase|write|read)[^:]* at flash address 0x005[0-9A-F]{3} failed' "$d/err.txt"
sed -i 's/^FailAtCommand=.*/FailAtCommand=0/' "$d/virtual-devices.ini"
expect "failed restore: its history record says so" python3 - "$XDG_STATE_HOME/zedrikfu/history.jsonl" <<'PY'
import json, sys
last = json.loads(open(sys.argv[1]).read().splitlines()[-1])
assert last["operation"] == "restore" and last["file"]["path"].endswith("/good.bin"), last
assert last["result"]["exit_status"] == 1 and last["result"]["message_id"] == 202, last
assert last["version_after"] is None, last
PY

# --- two bridges: --device and --usb-id choose ---------------------------------------------
d=$scratch/two
prepare "$d"
cp "$d/flash.orig" "$d/second.bin"
{
  printf '[first]\nVendorID=0x3F1C\nProductID=0x0001\nChipID=318a\nFlashPart=Winbond W25Q80BL\nFlashImage=bridge.bin\n\n'
  printf '[second]\nVendorID=0x3F1C\nProductID=0x0002\nChipID=318a\nFlashPart=Winbond W25Q80BL\nFlashImage=second.bin\n'
} >"$d/virtual-devices.ini"
printf '[TargetInfo]\r\nTargetBridgeIC=QK9318A\r\n[SysInfo]\r\nSysInfoNum=2\r\nVenderID0=0x3F1C\r\nProductID0=0x0001\r\nVenderID1=0x3F1C\r\nProductID1=0x0002\r\n' >"$d/ZEDRIKFU.ini"
run "$d" --check --device 1:3
status_is "$code" 0 "--device 1:3"
has "USB 3f1c:0002 at bus 1 address 3" "$d/out.txt" "--device takes the second bridge"
run "$d" --check --device 1:9
status_is "$code" 1 "--device with no device there"
has "Not found a target device!" "$d/out.txt" "--device nowhere: 203"
run "$d" --yes --usb-id 3f1c:0002
status_is "$code" 0 "--usb-id update"
expect "--usb-id left the first bridge alone" cmp -s "$d/bridge.bin" "$d/flash.orig"
differs "$d/second.bin" "$d/flash.orig" "--usb-id updated the second bridge"
run "$d" --read first.bin --device 1:2
expect "--read --device 1:2 read the first bridge" cmp -s "$d/first.bin" "$d/bridge.bin"
# A restore never chooses among bridges by itself, --yes or not.
cp "$d/bridge.bin" "$d/first.orig" && cp "$d/second.bin" "$d/second.orig"
for args in "--restore first.bin --yes" "--restore first.bin --yes --usb-id 3f1c:0001 --device 1:9"; do
  # shellcheck disable=SC2086
  run "$d" $args
  status_is "$code" 1 "$args"
done
run "$d" --restore first.bin --yes
has "refused: 2 bridges are connected and a restore writes one; choose it with --device BUS:ADDR:" \
  "$d/err.txt" "two bridges: restore refused"
has "  USB 3f1c:0001 at bus 1 address 2" "$d/err.txt" "two bridges: the first listed"
has "  USB 3f1c:0002 at bus 1 address 3" "$d/err.txt" "two bridges: the second listed"
expect "two bridges: neither flash touched" cmp -s "$d/bridge.bin" "$d/first.orig"
expect "two bridges: neither flash touched" cmp -s "$d/second.bin" "$d/second.orig"
run "$d" --restore first.bin --yes --device 1:2
status_is "$code" 2 "--device chooses the bridge to restore"
has "The flash already holds the image first.bin" "$d/out.txt" "--device 1:2 restore"

echo "command line: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]

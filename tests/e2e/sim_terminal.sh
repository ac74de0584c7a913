#!/usr/bin/env bash
# zedrikfu-sim end to end through its terminal front-end, in scratch folders:
# messages, captions, exit statuses, trace lines and the flash afterwards.
set -u
# The terminal front-end is under test: no display, whatever the caller has.
unset DISPLAY WAYLAND_DISPLAY
sim=$(realpath "$1")
image=$(realpath "$2")
failures=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_in() {  # text file description
  grep -qF -- "$1" "$2" || fail "$3: missing '$1'"
}

# A folder with the program, the system information file for the default
# bridge and a firmware file of the given version.
prepare() {  # folder version
  mkdir -p "$1"
  cp "$sim" "$1/zedrikfu-sim"
  printf '[TargetInfo]\r\nTargetBridgeIC=QK9318A\r\n[SysInfo]\r\nSysInfoNum=1\r\nVenderID0=0x3F1C\r\nProductID0=0x0001\r\n' \
    > "$1/ZEDRIKFU.ini"
  "$image" make-firmware --variant A --version "$2" --compat 0x0154 --random-size 20000 --seed 3 \
    -o "$1/MainFW.kqfw" > /dev/null || fail "make-firmware"
}

run() {  # folder answer -> sets status, output in folder/out.txt
  (cd "$1" && printf '%s\n' "$2" | ./zedrikfu-sim > out.txt 2>&1)
  status=$?
}

# 1. A full update, then a second run that finds nothing to do.
d="$scratch/update"
prepare "$d" 0x0120
run "$d" ok
[ "$status" -eq 0 ] || fail "update: exit $status"
[ -f "$d/virtual-devices.ini" ] && [ -f "$d/bridge.bin" ] || fail "default devices not created"
expect_in "./ZEDRIKFU.ini" "$d/out.txt" "update: path line"
expect_in "from version 01.10" "$d/out.txt" "update"
expect_in "to     version 01.20" "$d/out.txt" "update"
expect_in "Do you want to update the firmware?" "$d/out.txt" "update"
expect_in "CAUTION!!" "$d/out.txt" "update"
# The caution belongs to the write alone, not to the read before the question.
[ "$(grep -c "CAUTION!!" "$d/out.txt")" -eq 1 ] || fail "update: CAUTION!! shown $(grep -c "CAUTION!!" "$d/out.txt") times"
sed -n '/CAUTION!!/,$p' "$d/out.txt" | grep -qF "Do you want to update" && fail "update: CAUTION!! before the question"
expect_in "The update was completed successfully." "$d/out.txt" "update"
expect_in "You need to turn off and on your device so that it can work with the new firmware." "$d/out.txt" "update"
"$image" inspect "$d/bridge.bin" > "$d/inspect.txt" || fail "inspect after update"
[ "$(grep -c 'version 01.20' "$d/inspect.txt")" -ge 2 ] || fail "both copies should hold 01.20"
run "$d" ok
[ "$status" -eq 2 ] || fail "second run: exit $status"
expect_in "The firmware is already the latest version!" "$d/out.txt" "second run"

# 1b. Enter alone (an empty line) is OK and writes.
d="$scratch/enter"
prepare "$d" 0x0120
run "$d" ""
[ "$status" -eq 0 ] || fail "empty answer: exit $status"
expect_in "OK" "$d/out.txt" "empty answer taken as"
expect_in "The update was completed successfully." "$d/out.txt" "empty answer"
"$image" inspect "$d/bridge.bin" > "$d/inspect.txt" || fail "inspect after the empty answer"
[ "$(grep -c 'version 01.20' "$d/inspect.txt")" -ge 2 ] || fail "empty answer: both copies should hold 01.20"

# 2. Cancel writes nothing.
d="$scratch/cancel"
prepare "$d" 0x0120
(cd "$d" && ./zedrikfu-sim < /dev/null > /dev/null 2>&1)  # end of input = Cancel
cp "$d/bridge.bin" "$d/before.bin"
run "$d" no
[ "$status" -eq 2 ] || fail "cancel: exit $status"
cmp -s "$d/bridge.bin" "$d/before.bin" || fail "cancel changed the flash"
grep -qF "The update was completed" "$d/out.txt" && fail "cancel: update message shown"

# 3. No system information file.
d="$scratch/nosysinfo"
prepare "$d" 0x0120
rm "$d/ZEDRIKFU.ini"
run "$d" ok
[ "$status" -eq 1 ] || fail "no sysinfo: exit $status"
expect_in "System information file (ZEDRIKFU.ini) is not exists." "$d/out.txt" "no sysinfo"

# 4. Trace lines: the first command is the version query; erases only come
#    after the answer, and the last command leaves vendor mode.
d="$scratch/trace"
prepare "$d" 0x0120
(cd "$d" && ./zedrikfu-sim < /dev/null > /dev/null 2>&1)
sed -i 's/^Trace=.*/Trace=trace.txt/' "$d/virtual-devices.ini"
run "$d" ok
[ "$status" -eq 0 ] || fail "trace run: exit $status"
[ "$(head -n1 "$d/trace.txt")" = "USB C0 FF 33 31 38 58 0E 00 in 14 ok" ] || fail "first trace line: $(head -n1 "$d/trace.txt")"
grep -qE '^USB C0 E7 00 00 00 00 30 00 in 48 ok$' "$d/trace.txt" || fail "header read not traced"
grep -qE '^USB 40 E8 00 00 00 00 13 00 out 19 ok$' "$d/trace.txt" || fail "ROM parameters not traced"
grep -qE '^USB 40 E5 00 10 00 00 00 00 none ok$' "$d/trace.txt" || fail "erase of 0x1000 not traced"
[ "$(tail -n1 "$d/trace.txt")" = "USB 40 FD 33 31 38 58 00 00 none ok" ] || fail "last trace line: $(tail -n1 "$d/trace.txt")"
rm "$d/trace.txt"
run "$d" no
grep -qE "^USB 40 E5 " "$d/trace.txt" && fail "erase sent although the run was cancelled"

# 5. A command failing in the write phase.
d="$scratch/writefail"
prepare "$d" 0x0120
(cd "$d" && ./zedrikfu-sim < /dev/null > /dev/null 2>&1)
sed -i 's/^FailAtCommand=.*/FailAtCommand=22000/' "$d/virtual-devices.ini"
run "$d" ok
[ "$status" -eq 1 ] || fail "write failure: exit $status"
expect_in "The firmaware update failed!" "$d/out.txt" "write failure"

# 6. A malformed virtual-devices.ini gets one message naming file, line, key.
d="$scratch/badini"
prepare "$d" 0x0120
printf '[bridge]\nVendorID=0x3F1C\nFlashPart=No Such Part\n' > "$d/virtual-devices.ini"
run "$d" ok
[ "$status" -eq 1 ] || fail "bad ini: exit $status"
expect_in "virtual-devices.ini" "$d/out.txt" "bad ini"
expect_in "FlashPart" "$d/out.txt" "bad ini"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all zedrikfu-sim terminal scenarios passed"

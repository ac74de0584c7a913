#!/usr/bin/env bash
# The real zedrikfu (libusb transport, terminal layer) against virtual
# bridges presented as emulated USB devices by vbridge-usb: a whole update
# past a non-bridge and a busy device, the run after it, Cancel, an unplug
# during the read, a stall during the write, signals during the write, and no
# bridge at all.
# $1: vbridge-usb, $2: zedrikfu, $3: zedrikfu-image.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
vbridge=$(program "$1")
updater=$(program "$2")
tool=$(program "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset DISPLAY WAYLAND_DISPLAY  # the terminal layer

# run DIR ANSWER: zedrikfu under vbridge-usb with the devices of DIR, the
# answer on standard input; output in DIR/out.txt, exit status in $code.
run() {
  (cd "$1" && printf '%s\n' "$2" | "$vbridge" devices.ini -- ./zedrikfu >out.txt 2>&1)
  code=$?
}

version_of() { "$tool" inspect "$1" | sed -n 's/^installed version (for QK9318A): //p'; }

# --- a whole update, past a disk that is no bridge and a busy bridge ---------
d=$work/update
updater_folder "$d" "$updater" "$tool"
{
  printf '[disk]\nVendorID=0x3F1C\nProductID=0x0001\nChipID=dsk1\nTrace=disk.trace\n\n'
  printf '[held]\nVendorID=0x3F1C\nProductID=0x0001\nBusy=1\nTrace=held.trace\n\n'
  bridge_section bridge
} >"$d/devices.ini"
run "$d" ok
status_is "$code" 0 "update"
has "from version 01.10" "$d/out.txt" "first caption"
has "to     version 01.20" "$d/out.txt" "second caption"
has "The update was completed successfully." "$d/out.txt" "message 201"
[ "$(version_of "$d/flash.bin")" = "01.20" ] && ok || bad "flash not updated: $(version_of "$d/flash.bin")"
[ "$(wc -l <"$d/disk.trace")" -eq 1 ] && ok || bad "the non-bridge got more than its version request"
has "USB C0 FF 33 31 38 58 0E 00 in 14 ok" "$d/disk.trace" "version request to the non-bridge"
[ ! -s "$d/held.trace" ] && ok || bad "the busy device received commands"
has "USB 40 E5 " "$d/bridge.trace" "block erase"
has "USB 40 E7 " "$d/bridge.trace" "flash write"
has "USB 40 FD 33 31 38 58 00 00 none ok" "$d/bridge.trace" "vendor mode left"
lacks " fail" "$d/bridge.trace" "no failed command"

# --- the next run finds the new firmware ------------------------------------
lines=$(wc -l <"$d/bridge.trace")
run "$d" ok
status_is "$code" 2 "second run"
has "The firmware is already the latest version!" "$d/out.txt" "message 200"
tail -n +"$((lines + 1))" "$d/bridge.trace" | grep -qE "USB 40 E[57] " && bad "second run wrote" || ok

# --- Cancel ---------------------------------------------------------------------
d=$work/cancel
updater_folder "$d" "$updater" "$tool"
bridge_section bridge >"$d/devices.ini"
run "$d" no
status_is "$code" 2 "cancel"
cmp -s "$d/flash.bin" "$d/flash.orig" && ok || bad "cancel changed the flash"
grep -qE "USB 40 E[57] " "$d/bridge.trace" && bad "cancel wrote" || ok
before_write=$(wc -l <"$d/bridge.trace")

# --- unplugged halfway through the read --------------------------------------
d=$work/unplug
updater_folder "$d" "$updater" "$tool"
bridge_section bridge UnplugAtCommand=700 >"$d/devices.ini"
run "$d" ok
status_is "$code" 1 "unplug during the read"
has "Read aborted!" "$d/out.txt" "message 107"
has "Please make sure that the target device is connected properly and is recognized by your PC." \
  "$d/out.txt" "message 107, second line"
cmp -s "$d/flash.bin" "$d/flash.orig" && ok || bad "the flash changed after the unplug"
[ "$(wc -l <"$d/bridge.trace")" -eq 700 ] && ok || bad "commands after the unplug reached the bridge"

# --- a stall during the write ---------------------------------------------------
d=$work/stall
updater_folder "$d" "$updater" "$tool"
bridge_section bridge "FailAtCommand=$((before_write + 40))" >"$d/devices.ini"
run "$d" ok
status_is "$code" 1 "stall during the write"
has "The firmaware update failed!" "$d/out.txt" "message 202"
[ "$(grep -c ' fail$' "$d/bridge.trace")" -eq 1 ] && ok || bad "not exactly one failed command"
sed -n "$((before_write + 40))p" "$d/bridge.trace" | grep -q ' fail$' && ok || bad "the wrong command failed"

# --- Ctrl+C and a kill during the write: it goes on to its end --------------------
# tests/e2e/drive.py sends the signals to zedrikfu (the child of vbridge-usb)
# once the bridge has received the 40th command of the write.
d=$work/signals
updater_folder "$d" "$updater" "$tool"
bridge_section bridge >"$d/devices.ini"
(cd "$d" && /usr/bin/python3 "$here/../e2e/drive.py" --log out.txt send:ok\\n \
  "lines:$((before_write + 40)):bridge.trace" signal-child:INT signal-child:TERM \
  -- "$vbridge" devices.ini -- ./zedrikfu >drive.txt 2>&1)
code=$?
status_is "$code" 0 "signals during the write"
has "The update was completed successfully." "$d/out.txt" "message 201 after the signals"
has "the program ends once the write is complete" "$d/out.txt" "notice of the held signals"
sent=$(sed -n 's/^drive: sent SIGINT at line \([0-9]*\)$/\1/p' "$d/drive.txt")
[ "${sent:-0}" -gt "$before_write" ] && ok || bad "SIGINT not sent during the write: ${sent:-none}"
[ "$("$tool" inspect "$d/flash.bin" | grep -cE '^firmware area [12]: .* version 01\.20$')" -eq 2 ] &&
  ok || bad "not both copies written after the signals"
lacks " fail" "$d/bridge.trace" "no failed command after the signals"

# --- no bridge on the bus ----------------------------------------------------------
d=$work/none
updater_folder "$d" "$updater" "$tool"
printf '[disk]\nVendorID=0x3F1C\nProductID=0x0001\nChipID=dsk1\n' >"$d/devices.ini"
run "$d" ok
status_is "$code" 1 "no bridge"
has "Not found a target device!" "$d/out.txt" "message 203"

summary "zedrikfu over emulated USB"

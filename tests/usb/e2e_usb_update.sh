#!/usr/bin/env bash
# The real zedrikfu (terminal layer) against virtual bridges presented by
# vbridge-usb: a whole update past a non-bridge and a busy device, the run
# after it, Cancel, an unplug during the read, a failed command during the
# write, signals during the write, and no bridge at all; two runs at once and
# a run killed outright; then the choice of the transport.
# $1: vbridge-usb, $2: zedrikfu, $3: zedrikfu-image, $4: the path under test:
#   scsi  the devices also show as SCSI disks and zedrikfu on auto takes the
#         SCSI generic path (the SCSI encoding, 512 bytes per flash command);
#   usb   the devices show no SCSI side and auto falls back to USB control
#         requests (48 bytes per flash command).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
source "$here/../e2e/lib/two_runs.sh"
drives "$1" "$2" "$3"
path=${4:-usb}
unset DISPLAY WAYLAND_DISPLAY  # the terminal layer

# What the path looks like: the trace lines of its encoding, the line that
# names it, and how far into the write a failed command lands (of about 700
# write and verify commands over USB control requests, 40 over SCSI generic).
case $path in
  scsi)
    side=1
    named="zedrikfu: transport: SCSI generic /dev/sg"
    version_request="SCSI FF 33 31 38 58 00 00 00 00 00 0E 00 in 14 ok"
    erase="SCSI FD A4 " write="SCSI FE 94 " changes="SCSI (FD A4|FE 94) "
    leave_vendor_mode="SCSI FF 33 31 38 58 00 00 00 00 02 00 00 none ok"
    fail_after=12
    ;;
  usb)
    side=0
    named="zedrikfu: transport: USB control requests 001:"
    version_request="USB C0 FF 33 31 38 58 0E 00 in 14 ok"
    erase="USB 40 E5 " write="USB 40 E7 " changes="USB 40 E[57] "
    leave_vendor_mode="USB 40 FD 33 31 38 58 00 00 none ok"
    fail_after=40
    ;;
  *) echo "usage: $0 VBRIDGE ZEDRIKFU IMAGE-TOOL scsi|usb" >&2; exit 2 ;;
esac

# run DIR ANSWER: zedrikfu under vbridge-usb with the devices of DIR, the
# answer on standard input; output in DIR/out.txt (with the line naming the
# transport), exit status in $code.
run() {
  (cd "$1" && printf '%s\n' "$2" |
    ZEDRIKFU_VERBOSE=1 "$vbridge" devices.ini -- ./zedrikfu >out.txt 2>&1)
  code=$?
}

# section NAME [KEY=VALUE...]: a bridge section with this path's SCSI side
section() { bridge_section "$@" "Scsi=$side"; }

version_of() { "$tool" inspect "$1" | sed -n 's/^installed version (for QK9318A): //p'; }

# --- a whole update, past a disk that is no bridge and a busy bridge ---------
d=$work/update
updater_folder "$d" "$updater" "$tool"
{
  printf '[disk]\nVendorID=0x3F1C\nProductID=0x0001\nChipID=dsk1\nTrace=disk.trace\nScsi=%s\n\n' $side
  printf '[held]\nVendorID=0x3F1C\nProductID=0x0001\nBusy=1\nTrace=held.trace\nScsi=%s\n\n' $side
  section bridge
} >"$d/devices.ini"
run "$d" ok
status_is "$code" 0 "update"
cp "$d/out.txt" "$d/first.txt"
has "$named" "$d/out.txt" "the line naming the transport"
has "from version 01.10" "$d/out.txt" "first caption"
has "to     version 01.20" "$d/out.txt" "second caption"
has "The update was completed successfully." "$d/out.txt" "message 201"
[ "$(version_of "$d/flash.bin")" = "01.20" ] && ok || bad "flash not updated: $(version_of "$d/flash.bin")"
[ "$(wc -l <"$d/disk.trace")" -eq 1 ] && ok || bad "the non-bridge got more than its version request"
has "$version_request" "$d/disk.trace" "version request to the non-bridge"
[ ! -s "$d/held.trace" ] && ok || bad "the busy device received commands"
has "$erase" "$d/bridge.trace" "block erase"
has "$write" "$d/bridge.trace" "flash write"
has "$leave_vendor_mode" "$d/bridge.trace" "vendor mode left"
lacks " fail" "$d/bridge.trace" "no failed command"
# Only this path's encoding reached the bridge.
[ "$(grep -c "^${erase%% *} " "$d/bridge.trace")" -eq "$(wc -l <"$d/bridge.trace")" ] && ok ||
  bad "commands of the other encoding in the trace"

# --- the next run finds the new firmware ------------------------------------
lines=$(wc -l <"$d/bridge.trace")
run "$d" ok
status_is "$code" 2 "second run"
has "The firmware is already the latest version!" "$d/out.txt" "message 200"
tail -n +"$((lines + 1))" "$d/bridge.trace" | grep -qE "$changes" && bad "second run wrote" || ok

# --- Cancel ---------------------------------------------------------------------
d=$work/cancel
updater_folder "$d" "$updater" "$tool"
section bridge >"$d/devices.ini"
run "$d" no
status_is "$code" 2 "cancel"
cmp -s "$d/flash.bin" "$d/flash.orig" && ok || bad "cancel changed the flash"
grep -qE "$changes" "$d/bridge.trace" && bad "cancel wrote" || ok
before_write=$(wc -l <"$d/bridge.trace")
[ "$before_write" -gt 20 ] && ok || bad "only $before_write commands up to the question"

# --- unplugged halfway through the read --------------------------------------
# The read is all but the first few commands up to the question.
unplug_at=$((before_write / 2))
d=$work/unplug
updater_folder "$d" "$updater" "$tool"
section bridge "UnplugAtCommand=$unplug_at" >"$d/devices.ini"
run "$d" ok
status_is "$code" 1 "unplug during the read"
has "Read aborted!" "$d/out.txt" "message 107"
has "Please make sure that the target device is connected properly and is recognized by your PC." \
  "$d/out.txt" "message 107, second line"
cmp -s "$d/flash.bin" "$d/flash.orig" && ok || bad "the flash changed after the unplug"
[ "$(wc -l <"$d/bridge.trace")" -eq "$unplug_at" ] && ok ||
  bad "commands after the unplug reached the bridge"

# --- a failed command (stall, or CHECK CONDITION) during the write ------------------
d=$work/stall
updater_folder "$d" "$updater" "$tool"
section bridge "FailAtCommand=$((before_write + fail_after))" >"$d/devices.ini"
run "$d" ok
status_is "$code" 1 "failed command during the write"
has "The firmaware update failed!" "$d/out.txt" "message 202"
[ "$(grep -c ' fail$' "$d/bridge.trace")" -eq 1 ] && ok || bad "not exactly one failed command"
sed -n "$((before_write + fail_after))p" "$d/bridge.trace" | grep -qE "^$write.* fail$" && ok ||
  bad "the wrong command failed"

# --- Ctrl+C and a kill during the write: it goes on to its end --------------------
# tests/e2e/drive.py sends the signals to zedrikfu (the child of vbridge-usb)
# once the bridge has received the 10th command of the write (of about 40
# over SCSI generic, 700 over USB control requests).
d=$work/signals
updater_folder "$d" "$updater" "$tool"
# A pace that lets the signals land inside the write on either path.
section bridge "Latency=1000" >"$d/devices.ini"
(cd "$d" && /usr/bin/python3 "$here/../e2e/drive.py" --log out.txt send:ok\\n \
  "lines:$((before_write + 10)):bridge.trace" signal-child:INT signal-child:TERM \
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
printf '[disk]\nVendorID=0x3F1C\nProductID=0x0001\nChipID=dsk1\nScsi=%s\n' $side >"$d/devices.ini"
run "$d" ok
status_is "$code" 1 "no bridge"
has "Not found a target device!" "$d/out.txt" "message 203"

# --- two runs at once: one writes, the other finds the bridge in use -------------
# Both run under one vbridge-usb (one emulated bridge), the second started
# while the first works. The run that comes second ends with message 206 and
# sends the bridge nothing, so the trace is that of one run alone.
# Over SCSI an update is about 65 commands: paced so that the first run is
# still at work when the second starts, also on a busy machine.
pace=$([ "$path" = scsi ] && echo 20 || echo 0)
# two_runs DIR TRANSPORT-OF-FIRST TRANSPORT-OF-SECOND: sets $loser (a or b)
two_runs() {
  (cd "$1" && "$vbridge" --delay-ms "$pace" devices.ini -- bash -c '
    (ZEDRIKFU_TRANSPORT=$0 ./zedrikfu -y </dev/null >a.txt 2>&1; echo $? >a.status) &
    sleep 0.3
    ZEDRIKFU_TRANSPORT=$1 ./zedrikfu -y </dev/null >b.txt 2>&1
    echo $? >b.status
    wait' "$2" "$3")
  if loser=$(second_of_two "$1"); then
    ok
    has "Connect only one with the PC." "$1/$loser.txt" "two runs ($2, $3): message 206"
  else
    bad "two runs ($2, $3): $loser"
    loser=""
  fi
}
d=$work/two
updater_folder "$d" "$updater" "$tool"
section bridge >"$d/devices.ini"
(cd "$d" && "$vbridge" --delay-ms "$pace" devices.ini -- ./zedrikfu -y </dev/null >alone.txt 2>&1)
status_is $? 0 "one run alone"
mv "$d/bridge.trace" "$d/alone.trace"
cp "$d/flash.bin" "$d/alone.bin"
cp "$d/flash.orig" "$d/flash.bin"
two_runs "$d" auto auto
cmp -s "$d/bridge.trace" "$d/alone.trace" && ok ||
  bad "two runs: the bridge received more than one run's commands ($(wc -l <"$d/bridge.trace") lines, one run alone $(wc -l <"$d/alone.trace"))"
cmp -s "$d/flash.bin" "$d/alone.bin" && ok || bad "two runs: the flash differs from one run's"
if [ "$path" = scsi ]; then
  # SCSI generic and USB control requests reach the same bridge: a run on
  # either path keeps a run on the other off it. The trace tells the runs
  # apart by their encodings.
  for order in "usb scsi" "scsi usb"; do
    read -r first second <<<"$order"
    cp "$d/flash.orig" "$d/flash.bin"
    : >"$d/bridge.trace"
    two_runs "$d" "$first" "$second"
    if [ -n "$loser" ]; then
      held_off=$([ "$loser" = a ] && echo "$first" || echo "$second")
      encoding=$([ "$held_off" = scsi ] && echo "SCSI " || echo "USB ")
      grep -q "^$encoding" "$d/bridge.trace" &&
        bad "two runs ($order): the $held_off run that found the bridge in use sent it commands" || ok
    fi
    [ "$(version_of "$d/flash.bin")" = "01.20" ] && ok || bad "two runs ($order): flash not updated"
  done
fi

# --- a run killed outright leaves the bridge to the next run -----------------------
d=$work/killed
updater_folder "$d" "$updater" "$tool"
section bridge >"$d/devices.ini"
# Killed once the bridge has received the 5th command of the write. The next
# run starts under a new emulation, as after a replug: the emulation of
# usbfs may stop serving the device node once a client has died inside a
# request (the next run then waits forever for its first answer). A new
# emulation keeps its device locks apart, so this shows that the next run
# finishes the half-written flash; that the killed run's lock goes with it
# is shown by tests/e2e/sim_terminal.sh on the same lock code.
(cd "$d" && timeout -k 5 120 "$vbridge" --delay-ms 3 devices.ini -- bash -c '
  ./zedrikfu -y </dev/null >killed.txt 2>&1 &
  victim=$!
  for _ in $(seq 1000); do
    [ "$(wc -l <bridge.trace 2>/dev/null || echo 0)" -gt $(($0 + 5)) ] && break
    sleep 0.01
  done
  kill -KILL $victim
  wait $victim 2>/dev/null' "$before_write" 2>"$d/emulation.txt")
(cd "$d" && timeout -k 5 120 "$vbridge" devices.ini -- ./zedrikfu -y </dev/null >out.txt 2>&1)
status_is $? 0 "run after a killed run"
lacks "The update was completed" "$d/killed.txt" "the killed run ended before it was killed"
has "The update was completed successfully." "$d/out.txt" "run after a killed run"
[ "$(version_of "$d/flash.bin")" = "01.20" ] && ok || bad "run after a killed run: flash not updated"

# --- the choice of the transport ------------------------------------------------------
# ZEDRIKFU_TRANSPORT asks for the other path: usb is taken whatever the devices
# show, and updates as the SCSI path did (the same messages and flash bytes);
# scsi finds no device where none shows a SCSI side.
d=$work/other
updater_folder "$d" "$updater" "$tool"
section bridge >"$d/devices.ini"
if [ "$path" = scsi ]; then
  (cd "$d" && echo ok | ZEDRIKFU_TRANSPORT=usb ZEDRIKFU_VERBOSE=1 "$vbridge" devices.ini -- \
    ./zedrikfu >out.txt 2>&1)
  status_is $? 0 "USB control requests asked for"
  has "zedrikfu: transport: USB control requests 001:002" "$d/out.txt" "USB named"
  has "USB C0 FF 33 31 38 58 0E 00 in 14 ok" "$d/bridge.trace" "USB encoding when asked for"
  lacks "SCSI " "$d/bridge.trace" "no SCSI command when USB was asked for"
  cmp -s "$d/flash.bin" "$work/update/flash.bin" && ok || bad "the paths left different flash bytes"
  # The progress is drawn at the pace of each path; everything else is the same.
  shown() { grep -v -e '^Progress: ' -e '^zedrikfu: transport: ' "$1"; }
  if diff <(shown "$work/update/first.txt") <(shown "$d/out.txt") >"$d/diff.txt"; then ok; else
    bad "the paths showed different texts"
    cat "$d/diff.txt"
  fi
else
  (cd "$d" && echo ok | ZEDRIKFU_TRANSPORT=scsi ZEDRIKFU_VERBOSE=1 "$vbridge" devices.ini -- \
    ./zedrikfu >out.txt 2>&1)
  status_is $? 1 "SCSI generic asked for, no SCSI side"
  has "zedrikfu: transport: SCSI generic (no device)" "$d/out.txt" "SCSI named"
  has "Not found a target device!" "$d/out.txt" "message 203 without a SCSI side"
  [ ! -s "$d/bridge.trace" ] && ok || bad "a command reached the bridge without a SCSI side"
  (cd "$d" && ZEDRIKFU_TRANSPORT=sg "$vbridge" devices.ini -- ./zedrikfu >out.txt 2>&1 </dev/null)
  status_is $? 1 "unknown transport"
  [ "$(cat "$d/out.txt")" = 'zedrikfu: ZEDRIKFU_TRANSPORT must be auto, scsi or usb, not "sg"' ] &&
    ok || bad "unknown transport: $(cat "$d/out.txt")"
fi

summary "zedrikfu over emulated devices ($path)"

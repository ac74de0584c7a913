#!/usr/bin/env bash
# zedrikfu-sim end to end through its terminal front-end, in scratch folders:
# messages, captions, exit statuses, trace lines and the flash afterwards;
# two runs on one bridge, a killed run, a reader that goes away early, and the
# progress line on narrow terminals.
set -u
# The terminal front-end is under test: no display, whatever the caller has.
unset DISPLAY WAYLAND_DISPLAY
source "$(dirname "$(realpath "$0")")/lib/two_runs.sh"
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
# 20 commands into the write: past what a check (the read) sends.
sed -i 's/^Trace=.*/Trace=trace.txt/' "$d/virtual-devices.ini"
(cd "$d" && ./zedrikfu-sim --check < /dev/null > /dev/null 2>&1)
sed -i "s/^FailAtCommand=.*/FailAtCommand=$(($(wc -l < "$d/trace.txt") + 20))/" "$d/virtual-devices.ini"
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

# A folder with the default devices made, each command taking `latency`
# microseconds, the trace in trace.txt and the flash as made kept in
# bridge.orig.
prepare_slow() {  # folder latency
  prepare "$1" 0x0120
  (cd "$1" && ./zedrikfu-sim < /dev/null > /dev/null 2>&1)
  sed -i -e "s/^Latency=.*/Latency=$2/" -e 's/^Trace=.*/Trace=trace.txt/' "$1/virtual-devices.ini"
  cp "$1/bridge.bin" "$1/bridge.orig"
}
both_copies_new() {  # image
  [ "$("$image" inspect "$1" | grep -c 'version 01.20')" -ge 2 ]
}

# 7. Two runs at once on one virtual-devices.ini: one writes, the other finds
#    the bridge in use (message 206) and sends it nothing, so the trace and
#    the flash are those of one run alone.
d="$scratch/two"
prepare_slow "$d" 50
(cd "$d" && ./zedrikfu-sim -y < /dev/null > alone.txt 2>&1)
[ "$?" -eq 0 ] || fail "one run alone: exit $?"
mv "$d/trace.txt" "$d/alone.trace"
cp "$d/bridge.bin" "$d/alone.bin"
cp "$d/bridge.orig" "$d/bridge.bin"
(
  cd "$d" || exit 1
  (./zedrikfu-sim -y < /dev/null > a.txt 2>&1; echo $? > a.status) &
  sleep 0.3
  ./zedrikfu-sim -y < /dev/null > b.txt 2>&1
  echo $? > b.status
  wait
)
if loser=$(second_of_two "$d"); then
  expect_in "Connect only one with the PC." "$d/$loser.txt" "the run that came second"
  grep -qF "Progress:" "$d/$loser.txt" && fail "the run that found the bridge in use read it"
else
  fail "two runs: $loser"
fi
cmp -s "$d/trace.txt" "$d/alone.trace" ||
  fail "two runs: the bridge received more than one run's commands ($(wc -l < "$d/trace.txt") lines, one run $(wc -l < "$d/alone.trace"))"
cmp -s "$d/bridge.bin" "$d/alone.bin" || fail "two runs: the flash differs from one run's"

# 8. A run killed outright (SIGKILL) in the middle leaves the bridge free: the
#    next run, started at once, updates it.
#    It is killed once its trace has passed what --check sends, in the write.
d="$scratch/killed"
prepare_slow "$d" 2000
(
  cd "$d" || exit 1
  ./zedrikfu-sim --check < /dev/null > /dev/null 2>&1
  checked=$(wc -l < trace.txt)
  rm -f trace.txt
  ./zedrikfu-sim -y < /dev/null > killed.txt 2>&1 &
  victim=$!
  for _ in $(seq 1000); do
    [ "$(wc -l < trace.txt 2> /dev/null || echo 0)" -gt $((checked + 20)) ] && break
    sleep 0.01
  done
  kill -KILL "$victim"
  wait "$victim" 2> /dev/null
)
grep -qF "Progress:" "$d/killed.txt" || fail "the killed run had not started its work"
grep -qF "The update was completed" "$d/killed.txt" && fail "the run was killed too late"
run "$d" ok
[ "$status" -eq 0 ] || fail "run after a killed run: exit $status"
expect_in "The update was completed successfully." "$d/out.txt" "run after a killed run"
both_copies_new "$d/bridge.bin" || fail "run after a killed run: both copies should hold 01.20"

# 9. A reader that goes away after the first line ends neither the update
#    nor a read: the progress lines after it are let go.
d="$scratch/pipe"
prepare_slow "$d" 20
(cd "$d" && ./zedrikfu-sim -y < /dev/null 2> err.txt | head -1 > first.txt; echo "${PIPESTATUS[0]}" > status.txt)
[ "$(cat "$d/status.txt")" = 0 ] || fail "update into head -1: exit $(cat "$d/status.txt")"
[ "$(wc -l < "$d/first.txt")" -eq 1 ] || fail "head -1 got $(wc -l < "$d/first.txt") lines"
both_copies_new "$d/bridge.bin" || fail "update into head -1: both copies should hold 01.20"
# --read draws no window (GTK, which ignores SIGPIPE itself, is not started):
# only the program's own setting keeps it alive past the first line.
(cd "$d" && ./zedrikfu-sim --read saved.bin < /dev/null 2> err.txt | head -1 > first.txt
 echo "${PIPESTATUS[0]}" > status.txt)
[ "$(cat "$d/status.txt")" = 0 ] || fail "--read into head -1: exit $(cat "$d/status.txt")"
cmp -s "$d/saved.bin" "$d/bridge.bin" || fail "--read into head -1: the saved image differs"

# 10. The progress line on a terminal of 80 and of 20 columns: every redraw
#     fits the width (none wraps into a new row), and only carriage returns
#     part the redraws. With TERM=dumb: plain lines, no escape sequences.
d="$scratch/columns"
prepare_slow "$d" 20
# on_terminal COLUMNS TERM [NARROWER]: a run on a terminal of that width, its
# output in $d/tty-COLUMNS-TERM.txt. With NARROWER the terminal is narrowed
# to it after the third redraw, and the output's length at that moment is
# kept in $d/tty-COLUMNS-TERM.txt.resized.
on_terminal() {
  (cd "$d" && cp bridge.orig bridge.bin && rm -f "tty-$1-$2.txt.resized" &&
   python3 - "$1" "$2" "tty-$1-$2.txt" "${3:-0}" <<'PY'
import fcntl, os, signal, struct, subprocess, sys, termios
columns, term, log, narrower = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
master, slave = os.openpty()
def size(columns):
    fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
size(columns)
child = subprocess.Popen(["./zedrikfu-sim", "-y"], stdin=subprocess.DEVNULL, stdout=slave,
                         stderr=slave, env=dict(os.environ, TERM=term), start_new_session=True)
os.close(slave)
output, resized = b"", False
while True:
    try:
        data = os.read(master, 65536)
    except OSError:
        break
    if not data:
        break
    output += data
    if narrower and not resized and output.count(b"\r[") >= 3:
        size(narrower)  # not the child's controlling terminal: the signal is sent by hand
        child.send_signal(signal.SIGWINCH)
        resized = True
        open(log + ".resized", "w").write(str(len(output)))
open(log, "wb").write(output)
sys.exit(child.wait())
PY
  )
}
check_redraws() {  # columns file
  python3 - "$1" "$2" <<'PY'
import sys
columns, path = int(sys.argv[1]), sys.argv[2]
text = open(path, "rb").read().decode("utf-8", "replace").replace("\r\n", "\n")
redraws = 0
for line in text.split("\n"):
    if "\r" not in line:
        continue
    for piece in line.split("\r")[1:]:
        shown = piece.replace("\x1b[K", "")
        redraws += 1
        if len(shown) >= columns:
            print("redraw of %d columns on %d: %r" % (len(shown), columns, shown))
            sys.exit(1)
if redraws < 5:
    print("only %d redraws" % redraws)
    sys.exit(1)
# Each progress dialog (the read, the write) leaves one line behind.
kept = [l for l in text.split("\n") if "\r" in l]
if len(kept) != 2:
    print("%d lines of progress, wanted 2" % len(kept))
    sys.exit(1)
PY
}
for columns in 80 20; do
  on_terminal "$columns" xterm || fail "$columns columns: exit $?"
  check_redraws "$columns" "$d/tty-$columns-xterm.txt" || fail "$columns columns: a redraw wraps"
  expect_in "The update was completed successfully." "$d/tty-$columns-xterm.txt" "$columns columns"
done
# The terminal narrowed from 80 to 20 columns while the flash is read: once
# SIGWINCH has come, the redraws fit the new width.
on_terminal 80 xterm 20 || fail "narrowed terminal: exit $?"
python3 - "$d/tty-80-xterm.txt" <<'PY' || fail "narrowed terminal: redraws do not follow SIGWINCH"
import os, sys
log = sys.argv[1]
if not os.path.exists(log + ".resized"):
    sys.exit("the terminal was not narrowed")
output, resized_at = open(log, "rb").read(), int(open(log + ".resized").read())
# One redraw may have been under way when the size changed.
after = output[resized_at:].replace(b"\r\n", b"\n").split(b"\r")[2:]
wide = [p for p in after if len(p.split(b"\n")[0].replace(b"\x1b[K", b"")) >= 20]
if len(after) < 3 or wide:
    sys.exit("%d redraws after the resize, too wide: %r" % (len(after), wide[:2]))
PY
on_terminal 80 dumb || fail "TERM=dumb: exit $?"
# The terminal itself turns each line feed into CR LF: only other carriage
# returns count.
python3 -c 'import sys; t = open(sys.argv[1], "rb").read().replace(b"\r\n", b"\n")
sys.exit(1 if b"\r" in t or b"\x1b" in t else 0)' "$d/tty-80-dumb.txt" ||
  fail "TERM=dumb: carriage returns or escape sequences"
expect_in "Progress: 100%" "$d/tty-80-dumb.txt" "TERM=dumb: plain progress lines"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all zedrikfu-sim terminal scenarios passed"

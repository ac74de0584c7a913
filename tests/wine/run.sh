#!/usr/bin/env bash
# End-to-end tests of the Windows programs under Wine in Xvfb.
#
#   bash tests/wine/run.sh BUILD_WIN_DIR NATIVE_ZEDRIKFU_IMAGE [ZIP]
#
# ZIP, when given, is the archive for Windows users (cpack -G ZIP): it is
# unpacked and its ZEDRIKFU.exe run, first alone in its folder, then with a
# release's files beside it.
#
# The native zedrikfu-sim beside the image tool, when built, checks that
# both builds give the same --check report.
#
# BUILD_WIN_DIR holds ZEDRIKFU.exe, ZEDRIKFU-sim.exe, ZEDRIKFU-sim.com and
# zf-wininspect.exe
# (which prints the texts of the dialogs on the screen); the native
# zedrikfu-image makes the firmware files and flash images and reads the
# flash back. Keys are pressed with xdotool; screenshots of the main dialog,
# the progress dialog, two message boxes and the file chooser are saved in
# BUILD_WIN_DIR/artifacts.
#
# The progress dialog is caught in the middle of the flash read: the virtual
# bridge's command trace goes into a named pipe that is not read until the
# screenshot is taken, so the worker waits on a full pipe meanwhile.
set -uo pipefail

build=$(cd "$1" && pwd)
imagetool=$2
zip=${3:-}
work="$build/wine-tests"
artifacts="$build/artifacts"
inspector="$build/zf-wininspect.exe"

export WINEPREFIX="$build/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

passed=0
failed=0
xvfb_pid=""

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

pass() {
  passed=$((passed + 1))
  echo "ok - $1"
}
fail() {
  failed=$((failed + 1))
  echo "FAIL - $1"
  if [ -n "${2:-}" ]; then echo "$2" | sed 's/^/    /'; fi
}
# check NAME COMMAND...: passes when the command succeeds.
check() {
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name" "$(dump)"; fi
}

# ---- display and Wine ---------------------------------------------------------------

display=""
for n in $(seq 91 140); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
    display=":$n"
    break
  fi
done
if [ -z "$display" ]; then
  echo "no free X display number"
  exit 1
fi
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=$display
for _ in $(seq 1 50); do
  [ -e "/tmp/.X11-unix/X${display#:}" ] && break
  sleep 0.1
done

rm -rf "$WINEPREFIX" "$work" "$artifacts"
mkdir -p "$WINEPREFIX" "$work" "$artifacts"
echo "== Wine prefix (wineboot -i)"
wineboot -i >/dev/null 2>&1
# Without a window manager every window close stalls unless Wine manages
# none of its windows.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
wineserver -w
wineserver -p >/dev/null 2>&1  # one server for all the runs below
# The update history of the Wine user: %LOCALAPPDATA%\ZEDRIKFU\history.jsonl.
history="$(winepath -u "$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')" 2>/dev/null)/ZEDRIKFU/history.jsonl"

# ---- helpers ------------------------------------------------------------------------

# The dialogs on the screen, as zf-wininspect prints them.
dump() { wine "$inspector" 2>/dev/null | tr -d '\r'; }

# wait_for TEXT [SECONDS]: until a dialog shows TEXT (taken literally).
wait_for() {
  local text=$1 limit=${2:-30}
  local tries=$((limit * 5))
  for _ in $(seq 1 "$tries"); do
    if dump | grep -qF -- "$text"; then return 0; fi
    sleep 0.2
  done
  return 1
}
shows() { dump | grep -qF -- "$1"; }
# window_has TITLE TEXT: a dialog titled TITLE shows TEXT.
window_has() {
  dump | WT="window title=\"$1\" " WX="$2" awk '
    index($0, "window ") == 1 { inside = (index($0, ENVIRON["WT"]) == 1) }
    inside && index($0, ENVIRON["WX"]) { found = 1 }
    END { exit !found }'
}
shows_not() { ! shows "$1"; }

# press KEY TITLE: the newest visible window with that title gets the key,
# with the pointer moved onto it first.
press() {
  local key=$1 title=$2 id
  id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | sort -n | tail -1)
  if [ -z "$id" ]; then
    echo "    (no window titled \"$title\" for $key)"
    return 1
  fi
  xdotool mousemove --window "$id" 20 40
  sleep 0.2
  xdotool key "$key"
}

# shot NAME: the screen, trimmed to what is drawn on it.
shot() {
  import -window root "$artifacts/$1-screen.png"
  convert "$artifacts/$1-screen.png" -trim +repage "$artifacts/$1.png"
  rm -f "$artifacts/$1-screen.png"
}

# start DIR EXE [CWD]: runs DIR/EXE under Wine in the background with CWD
# (default DIR) as the current directory; its exit code lands in DIR/exit.txt.
start() {
  local dir=$1 exe=$2 cwd=${3:-$1}
  rm -f "$dir/exit.txt"
  (cd "$cwd" && wine "$dir/$exe" >"$dir/stdout.txt" 2>"$dir/stderr.txt"; echo $? >"$dir/exit.txt") &
}

# exit_code DIR [SECONDS]: waits for the program to end and prints its code.
exit_code() {
  local dir=$1 limit=${2:-30}
  for _ in $(seq 1 $((limit * 10))); do
    if [ -s "$dir/exit.txt" ]; then
      cat "$dir/exit.txt"
      return 0
    fi
    sleep 0.1
  done
  echo "timeout"
}

# A folder with the updater, its system information file, a firmware file
# of version 01.20 and a virtual QK9318A bridge whose flash holds 01.10.
crlf() { printf '%s\r\n' "$@"; }
sysinfo() {  # sysinfo [EXTRA KEY LINES...]
  crlf "[TargetInfo]" "TargetBridgeIC=QK9318A" "[SysInfo]" "SysInfoNum=1" \
    "VenderID0=0x3F1C" "ProductID0=0x0001"
  [ $# -gt 0 ] && crlf "$@"
  return 0
}
devices() {  # devices TRACE EXTRA...
  crlf "[bridge]" "VendorID=0x3F1C" "ProductID=0x0001" "ChipID=318a" "Compat=0x0154" \
    "FlashPart=Winbond W25Q80BL" "FlashImage=bridge.bin" "Trace=$1"
  shift
  [ $# -gt 0 ] && crlf "$@"
  return 0
}
make_firmware() {
  "$imagetool" make-firmware --variant A --version 0x0120 --compat 0x0154 \
    --random-size 40000 --seed 7 -o "$1" >/dev/null
}
make_flash() { "$imagetool" make-default -o "$1" >/dev/null; }
installed() { "$imagetool" inspect "$1" | grep -F "installed version (for QK9318A): $2" >/dev/null; }

new_folder() {
  local dir="$work/$1"
  mkdir -p "$dir"
  cp "$build/$2" "$dir/"
  echo "$dir"
}

# ---- 1: an update from 01.10 to 01.20 -----------------------------------------------

echo "== ZEDRIKFU-sim.exe: update"
d=$(new_folder update ZEDRIKFU-sim.exe)
# The identity with the device's strings: they are compared in the thread's
# code page.
{
  sysinfo "bcdDevice0=0x0100" "Manufacture0=ZEDRIK" "Product0=QK9318 Storage"
  crlf "[Setting]" "Caption=ZEDRIK Test" "Firmware=MainFW.kqfw"
} >"$d/ZEDRIKFU.ini"
make_firmware "$d/MainFW.kqfw"
make_flash "$d/bridge.bin"
devices trace.pipe >"$d/virtual-devices.ini"
mkfifo "$d/trace.pipe"
# A reader that reads nothing: the program can open the pipe, and its worker
# waits once the pipe is full.
sleep 300 <"$d/trace.pipe" &
holder_pid=$!
# The pipe is filled up to about 60 trace lines short of its 64 KiB, so that
# the worker waits inside the read (about 170 commands), not after it.
exec 9>"$d/trace.pipe"
{ head -c 61439 /dev/zero | tr '\0' '#'; echo; } >&9
exec 9>&-
# Wine reports the calls that keep the system awake and hold off shutdown
# (stubs there) on these debug channels.
WINEDEBUG=-all,warn+ntdll,fixme+graphics start "$d" ZEDRIKFU-sim.exe

check "progress dialog shows during the read" wait_for "class=msctls_progress32" 30
sleep 1  # the worker now waits on the full pipe
check "progress dialog: title ZEDRIKFU, no system menu" \
  shows 'window title="ZEDRIKFU" style=0x94C000CC sysmenu=0'
check "progress dialog: caution text" \
  shows 'text="CAUTION!!\nPlease do NOT plug out nor turn off your device until completed!!"'
pos=$(dump | sed -n 's/.*id=1044 class=msctls_progress32 pos=\([0-9]*\).*/\1/p' | head -1)
check "progress bar stands between 0 and 100 (at ${pos:-none})" \
  test "${pos:-0}" -gt 0 -a "${pos:-100}" -lt 100
shot progress-dialog
press Return ZEDRIKFU
press Escape ZEDRIKFU
sleep 0.5
check "progress dialog ignores Enter and Escape" shows "class=msctls_progress32"

# Let the worker go on: read the pipe until the program closes it.
cat "$d/trace.pipe" >"$d/trace.txt" &
reader_pid=$!
kill "$holder_pid" 2>/dev/null

check "main dialog: from version 01.10" wait_for 'id=1001 class=Static text="from version 01.10"' 30
check "main dialog: to     version 01.20" shows 'id=1002 class=Static text="to     version 01.20"'
check "main dialog: title is the caption once the checks passed" \
  shows 'window title="ZEDRIK Test" style='
check "main dialog: fixed texts" shows 'text="Do you want to update the firmware?"'
check "progress dialog closed after the read" shows_not "class=msctls_progress32"
shot main-dialog
press Return "ZEDRIK Test"
check "message 201 after the write" \
  wait_for 'text="The update was completed successfully.\nYou need to turn off and on your device so that it can work with the new firmware."' 30
check "message box titled with the caption" window_has "ZEDRIK Test" "The update was completed"
shot message-box
press Return "ZEDRIK Test"
code=$(exit_code "$d")
check "exit status 0 after an update (got $code)" test "$code" = 0
check "the flash holds firmware 01.20" installed "$d/bridge.bin" 01.20
check "the update in the windows left its history record" python3 -c '
import json, sys
r = json.loads(open(sys.argv[1]).read().splitlines()[-1])
sys.exit((r["program"], r["operation"], r["result"]["exit_status"], r["version_after"]) !=
         ("ZEDRIKFU-sim", "update", 0, "01.20") or len(r["file"]["sha256"]) != 64)' "$history"
wait "$reader_pid"
sed -i 1d "$d/trace.txt"  # the filler
check "flash read in 512-byte SCSI commands" grep -q '^SCSI FD 84 .* in 512 ok$' "$d/trace.txt"
check "flash written in 512-byte SCSI commands" grep -q '^SCSI FE 94 .* out 512 ok$' "$d/trace.txt"
check "vendor mode left at the end" \
  bash -c "tail -1 '$d/trace.txt' | grep -q '^SCSI FF 33 31 38 58 00 00 00 00 02 00 00 none ok$'"
# Awake from the start of the write, the shutdown block reason on its
# progress dialog, then the execution state back. (Wine's
# ShutdownBlockReasonCreate fails, so there is no reason to destroy here.)
held=$(sed -n -e 's/.*NtSetThreadExecutionState (\(0x[0-9a-f]*\),.*/state \1/p' \
  -e 's/.*ShutdownBlockReasonCreate ([0-9A-Fa-f]*, L"\([^"]*\)").*/reason \1/p' "$d/stderr.txt")
check "write held: system awake, shutdown reason, then released" test "$held" = "state 0x80000001
reason The firmware of a USB storage bridge is being written. Do not turn off the computer until the update has completed.
state 0x80000000"

# ---- 2: the same firmware again ------------------------------------------------------

echo "== ZEDRIKFU-sim.exe: already the latest"
devices "" >"$d/virtual-devices.ini"
start "$d" ZEDRIKFU-sim.exe
check "message 200" wait_for 'text="The firmware is already the latest version!"' 30
check "main dialog not shown" shows_not 'text="Do you want to update the firmware?"'
press Return "ZEDRIK Test"
code=$(exit_code "$d")
check "exit status 2 when already the latest (got $code)" test "$code" = 2

# ---- 2b: a device whose stored identity is not in the file ------------------------

echo "== ZEDRIKFU-sim.exe: identity differs"
d=$(new_folder identity ZEDRIKFU-sim.exe)
sysinfo "Product0=Other Product" >"$d/ZEDRIKFU.ini"
make_firmware "$d/MainFW.kqfw"
make_flash "$d/bridge.bin"
devices "" >"$d/virtual-devices.ini"
start "$d" ZEDRIKFU-sim.exe
check "message 205" wait_for 'text="The system information is different!"' 30
press Return ZEDRIK
code=$(exit_code "$d")
check "exit status 1 after message 205 (got $code)" test "$code" = 1

# ---- 3: another current directory; Cancel ---------------------------------------------

echo "== ZEDRIKFU-sim.exe: settings beside the program, files in the current directory, Cancel"
d=$(new_folder cancel/bin ZEDRIKFU-sim.exe)
cwd="$work/cancel/current"
mkdir -p "$cwd"
crlf "[Setting]" "Caption=Other Caption" >"$d/ZEDRIKFU.ini"
sysinfo >"$cwd/ZEDRIKFU.ini"
make_firmware "$cwd/MainFW.kqfw"  # the default name, relative to the current directory
# No virtual-devices.ini: the default bridge is created.
WINEDEBUG=-all,warn+ntdll,fixme+graphics start "$d" ZEDRIKFU-sim.exe "$cwd"
check "main dialog titled from the settings beside the program" \
  wait_for 'window title="Other Caption" style=' 30
check "default virtual bridge created beside the program" \
  test -s "$d/virtual-devices.ini" -a -s "$d/bridge.bin"
press Escape "Other Caption"
code=$(exit_code "$d")
check "exit status 2 after Cancel (got $code)" test "$code" = 2
check "nothing written after Cancel" installed "$d/bridge.bin" 01.10
check "nothing held without a write" \
  bash -c "! grep -qE 'NtSetThreadExecutionState|ShutdownBlockReason' '$d/stderr.txt'"

# ---- 4: no system information file in the current directory ----------------------------

echo "== ZEDRIKFU-sim.exe: no system information file"
d=$(new_folder nosysinfo/bin ZEDRIKFU-sim.exe)
cwd="$work/nosysinfo/current"
mkdir -p "$cwd"
{ sysinfo; crlf "[Setting]" "Caption=ZEDRIK Test"; } >"$d/ZEDRIKFU.ini"  # beside the program only
make_firmware "$d/MainFW.kqfw"
start "$d" ZEDRIKFU-sim.exe "$cwd"
check "message 104" wait_for 'text="System information file (ZEDRIKFU.ini) is not exists."' 30
check "message box titled with the caption" window_has "ZEDRIK Test" "is not exists."
shot message-box-error
press Return "ZEDRIK Test"
code=$(exit_code "$d")
check "exit status 1 after message 104 (got $code)" test "$code" = 1

# ---- 5: firmware file missing, chooser cancelled -----------------------------------------

echo "== ZEDRIKFU-sim.exe: firmware file chooser cancelled"
d=$(new_folder nofirmware ZEDRIKFU-sim.exe)
{ sysinfo; crlf "[Setting]" "Caption=Pick Firmware" "Firmware=missing.kqfw"; } >"$d/ZEDRIKFU.ini"
start "$d" ZEDRIKFU-sim.exe
check "file chooser titled with the caption" wait_for 'window title="Pick Firmware" style=' 30
sleep 0.5
shot file-chooser
press Escape "Pick Firmware"
check "message 106" wait_for 'text="FW file is not selected."' 30
press Return "Pick Firmware"
code=$(exit_code "$d")
check "exit status 1 after message 106 (got $code)" test "$code" = 1

# ---- 6: firmware file chosen in the chooser ----------------------------------------------

echo "== ZEDRIKFU-sim.exe: firmware file chosen"
d=$(new_folder choose ZEDRIKFU-sim.exe)
{ sysinfo; crlf "[Setting]" "Caption=Pick Firmware" "Firmware=missing.kqfw"; } >"$d/ZEDRIKFU.ini"
mkdir -p "$d/elsewhere"
make_firmware "$d/elsewhere/New.kqfw"
start "$d" ZEDRIKFU-sim.exe
check "file chooser open" wait_for 'window title="Pick Firmware" style=' 30
sleep 0.5
xdotool type --delay 20 "$(winepath -w "$d/elsewhere/New.kqfw" 2>/dev/null)"
press Return "Pick Firmware"
check "chosen firmware offered" wait_for 'id=1002 class=Static text="to     version 01.20"' 30
press Escape "Pick Firmware"
code=$(exit_code "$d")
check "exit status 2 after Cancel (got $code)" test "$code" = 2

# ---- 7: the read fails ---------------------------------------------------------------------

echo "== ZEDRIKFU-sim.exe: device gone during the read"
d=$(new_folder unplug ZEDRIKFU-sim.exe)
sysinfo >"$d/ZEDRIKFU.ini"
make_firmware "$d/MainFW.kqfw"
make_flash "$d/bridge.bin"
# The read takes the erase blocks of the two copies the 40 KiB file replaces,
# about 160 commands of 512 bytes after the first few: the 80th is inside.
devices "" "UnplugAtCommand=80" >"$d/virtual-devices.ini"
start "$d" ZEDRIKFU-sim.exe
check "message 107" \
  wait_for 'text="Read aborted!\nPlease make sure that the target device is connected properly and is recognized by your PC."' 30
check "default caption ZEDRIK without settings" window_has ZEDRIK "Read aborted!"
press Return ZEDRIK
code=$(exit_code "$d")
check "exit status 1 after message 107 (got $code)" test "$code" = 1

# ---- 7b: two runs on one bridge -------------------------------------------------------
# The first run holds the bridge from its checks on (its main dialog waits for
# OK); a second run, from another folder whose virtual-devices.ini names the
# same flash image file, finds it in use: message 206, and nothing sent.

echo "== ZEDRIKFU-sim.exe: two runs on one bridge"
first=$(new_folder two/first ZEDRIKFU-sim.exe)
second=$(new_folder two/second ZEDRIKFU-sim.exe)
{ sysinfo; crlf "[Setting]" "Caption=First Run"; } >"$first/ZEDRIKFU.ini"
{ sysinfo; crlf "[Setting]" "Caption=Second Run"; } >"$second/ZEDRIKFU.ini"
make_firmware "$first/MainFW.kqfw"
make_firmware "$second/MainFW.kqfw"
make_flash "$first/bridge.bin"
devices first.trace >"$first/virtual-devices.ini"
devices second.trace | sed 's|^FlashImage=bridge.bin|FlashImage=../first/bridge.bin|' \
  >"$second/virtual-devices.ini"
start "$first" ZEDRIKFU-sim.exe
check "first run: main dialog" wait_for 'window title="First Run" style=' 30
start "$second" ZEDRIKFU-sim.exe
check "second run: message 206" wait_for 'text="Connect only one with the PC."' 30
check "message 206 is the second run's" window_has "Second Run" "Connect only one with the PC."
press Return "Second Run"
code=$(exit_code "$second")
check "second run: exit status 1 after message 206 (got $code)" test "$code" = 1
check "second run sent the bridge nothing" test ! -s "$second/second.trace"
press Escape "First Run"
code=$(exit_code "$first")
check "first run: exit status 2 after Cancel (got $code)" test "$code" = 2
# Once the first run has ended, the bridge is free again.
start "$second" ZEDRIKFU-sim.exe
check "second run after the first ended: main dialog" wait_for 'window title="Second Run" style=' 30
press Escape "Second Run"
code=$(exit_code "$second")
check "second run after the first: exit status 2 after Cancel (got $code)" test "$code" = 2

# ---- 7c: virtual-devices.ini cannot be used ------------------------------------------------

echo "== ZEDRIKFU-sim.exe: virtual-devices.ini cannot be used"
d=$(new_folder badini ZEDRIKFU-sim.exe)
sysinfo >"$d/ZEDRIKFU.ini"
make_firmware "$d/MainFW.kqfw"
crlf "[bridge]" "VendorID=0x3F1C" "FlashPart=No Such Part" >"$d/virtual-devices.ini"
start "$d" ZEDRIKFU-sim.exe
check "message box: the devices cannot be set up" \
  wait_for 'The virtual devices cannot be set up:' 30
check "message box names the file and the key" \
  window_has ZEDRIKFU-sim "FlashPart"
press Return ZEDRIKFU-sim
code=$(exit_code "$d")
check "exit status 1 when the devices cannot be set up (got $code)" test "$code" = 1
check "the fault on standard error too" grep -q '^ZEDRIKFU-sim: .*virtual-devices.ini' "$d/stderr.txt"

# ---- 8: the real transport under Wine ---------------------------------------------------

echo "== ZEDRIKFU.exe: no device"
d=$(new_folder real ZEDRIKFU.exe)
sysinfo >"$d/ZEDRIKFU.ini"
make_firmware "$d/MainFW.kqfw"
start "$d" ZEDRIKFU.exe
check "message 203" wait_for 'text="Not found a target device!"' 30
check "message box titled ZEDRIK by default" window_has ZEDRIK "Not found a target device!"
press Return ZEDRIK
code=$(exit_code "$d")
check "exit status 1 after message 203 (got $code)" test "$code" = 1

# ---- 8b: the command line (ZEDRIKFU-sim.com, and the .exe with redirected output) --------

echo "== ZEDRIKFU-sim.com and .exe: the command line"
d=$(new_folder cli ZEDRIKFU-sim.com)
cp "$build/ZEDRIKFU-sim.exe" "$d/"
sysinfo >"$d/ZEDRIKFU.ini"
make_firmware "$d/MainFW.kqfw"
make_flash "$d/bridge.bin"
cp "$d/bridge.bin" "$d/bridge.orig"
devices trace.txt >"$d/virtual-devices.ini"
# cli EXPECTED-STATUS NAME ARGS...: runs the console program in its folder,
# standard input from $d/answer.txt, output in $d/out.txt and $d/err.txt.
cli() {
  local want=$1 name=$2
  shift 2
  (cd "$d" && timeout 120 wine ZEDRIKFU-sim.com "$@" <answer.txt >out.txt 2>err.txt)
  local got=$?
  check "$name: exit status $want (got $got)" test "$got" = "$want"
}
: >"$d/answer.txt"
cli 0 "--help" --help
check "--help lists --restore" grep -q -- "--restore FILE" "$d/out.txt"
cli 1 "--transport refused" --transport usb
check "--transport: the usage line" grep -q "^usage: ZEDRIKFU-sim \[OPTIONS\]" "$d/err.txt"
cli 1 "--device neither a disk number nor BUS:ADDR" --device 1-2 --check
check "--device: the usage line" grep -q "^usage: ZEDRIKFU-sim \[OPTIONS\]" "$d/err.txt"
cli 0 "--device BUS:ADDR of the virtual bridge" --device 1:2 --check
cli 1 "--device of a disk number no bridge has" --device 5 --check
cli 1 "--check of ids no bridge has" --check --usb-id 1111:2222
check "message 203 and its cause line" grep -q "^Not found a target device!" "$d/out.txt"
check "the cause line names the program" grep -q "^ZEDRIKFU-sim: no connected device" "$d/err.txt"
cli 0 "--check" --check
check "--check names the transport and the update" grep -q "^update: would write 2 copies" "$d/out.txt"
(cd "$d" && timeout 120 wine ZEDRIKFU-sim.exe --check --json >exe.json 2>/dev/null)
code=$?
check ".exe --check --json, redirected: exit status 0 (got $code)" test "$code" = 0
check ".exe --check --json: one JSON report of an update" python3 -c \
  'import json,sys; r=json.load(open(sys.argv[1])); sys.exit(r["result"] != "update" or r["exitStatus"] != 0)' \
  "$d/exe.json"
# The same check by the Linux zedrikfu-sim (beside the image tool) on a copy
# of the folder: the same report but for the program's name, the file's
# path and the command counts, which follow the encoding (512 bytes per
# SCSI command here, 48 per control request there).
native_sim="$(dirname "$imagetool")/zedrikfu-sim"
if [ -x "$native_sim" ]; then
  rm -rf "$d-native" && cp -r "$d" "$d-native" && cp "$native_sim" "$d-native/"
  (cd "$d-native" && timeout 120 ./zedrikfu-sim --check --json >native.json 2>/dev/null)
  check "the Windows and the Linux report agree" python3 -c '
import json, sys
reports = [json.load(open(path)) for path in sys.argv[1:3]]
for report in reports:
    del report["program"], report["file"]["path"], report["update"]["commands"]
sys.exit(reports[0] != reports[1])' "$d/exe.json" "$d-native/native.json"
fi
cli 0 "--read" --read saved.bin
check "--read saved the whole flash" cmp -s "$d/saved.bin" "$d/bridge.orig"
echo stale >"$d/saved.bin"
cli 0 "--read over an existing file" --read saved.bin
check "--read replaced the file" cmp -s "$d/saved.bin" "$d/bridge.orig"
mkdir -p "$d/folder"
cli 1 "--read to a folder refused" --read folder
check "--read to a folder: the cause" grep -q "a folder, not a regular file" "$d/err.txt"
check "no temporary file left beside the images" test -z "$(ls "$d" | grep '\.tmp$')"
cli 0 "--yes --backup: update" --yes --backup backup.bin
check "--backup holds the flash as it was" cmp -s "$d/backup.bin" "$d/bridge.orig"
check "updated to 01.20" installed "$d/bridge.bin" 01.20
check "message 201" grep -q "The update was completed successfully." "$d/out.txt"
if [ -x "$native_sim" ]; then
  # The terminal layer: no window of the native program on the test display.
  (cd "$d-native" && env -u DISPLAY -u WAYLAND_DISPLAY timeout 120 ./zedrikfu-sim -y </dev/null \
    >native-update.txt 2>&1)
  check "the Linux zedrikfu-sim leaves the same flash" cmp -s "$d/bridge.bin" "$d-native/bridge.bin"
fi
cli 2 "--yes again: nothing to do" --yes
cli 1 "--backup over an existing file refused" --yes --backup backup.bin
echo Cancel >"$d/answer.txt"
cli 2 "--restore answered Cancel" --restore backup.bin
check "Cancel: the flash is untouched" installed "$d/bridge.bin" 01.20
echo >"$d/answer.txt"
cli 0 "--restore answered with Enter (OK)" --restore backup.bin
check "--restore wrote the backup back" cmp -s "$d/bridge.bin" "$d/bridge.orig"
# An update interrupted right after the erase of the first block leaves no
# header: the restore needs none.
head -c 4096 /dev/zero | tr '\0' '\377' | dd of="$d/bridge.bin" conv=notrunc status=none
cli 0 "--restore over an erased header block" --restore backup.bin
check "--restore wrote the header back" cmp -s "$d/bridge.bin" "$d/bridge.orig"
# Each of those writes left its record in %LOCALAPPDATA%\ZEDRIKFU\history.jsonl.
cli 0 "--history --json" --history --json
check "--history: the update and the two restores, the backup named" python3 -c '
import json, sys
r = json.load(open(sys.argv[1]))
ops = [(e["operation"], e["result"]["exit_status"], e["device"]["name"]) for e in r[-3:]]
want = [("update", 0, "bus 1 address 2")] + [("restore", 0, "bus 1 address 2")] * 2
sys.exit(ops != want or not r[-3]["backup_path"].endswith("\\backup.bin") or r[-3]["version_after"] != "01.20")' \
  "$d/out.txt"

# ---- 8c: names outside the ANSI code page (1252 under Wine) ----------------------------
# The programs, the release and the flash image in a folder named with such
# characters: the folder comes from the program's own path and from --dir,
# and the saved images are named with them too.

echo "== ZEDRIKFU-sim.com and .exe: names outside the code page"
name="Prüfung-日本"
u=$(new_folder "$name" ZEDRIKFU-sim.com)
cp "$build/ZEDRIKFU-sim.exe" "$u/"
sysinfo >"$u/ZEDRIKFU.ini"
make_firmware "$u/MainFW.kqfw"
make_flash "$u/bridge.orig"
devices "" >"$u/virtual-devices.ini"
# run_in DIR PROGRAM ARGS...: runs PROGRAM with the arguments passed on in UTF-8.
run_in() {
  (cd "$1" && LC_ALL=C.UTF-8 timeout 120 wine "${@:2}" </dev/null >"$u/out.txt" 2>"$u/err.txt")
}
for exe in ZEDRIKFU-sim.com ZEDRIKFU-sim.exe; do
  cp "$u/bridge.orig" "$u/bridge.bin"
  run_in "$work" "$name/$exe" --check --json --dir "$name"
  code=$?
  check "$exe --check --json --dir $name: exit status 0 (got $code)" test "$code" = 0
  check "$exe: the JSON report names the firmware file in UTF-8" python3 -c \
    'import json,sys; r=json.load(open(sys.argv[1], encoding="utf-8")); sys.exit(r["file"]["path"] != sys.argv[2])' \
    "$u/out.txt" "$name\\MainFW.kqfw"
  check "$exe: the file lines in UTF-8" grep -qF "$name\\ZEDRIKFU.ini" "$u/err.txt"
  run_in "$u" "$exe" --read "Abbild-日本.bin"
  code=$?
  check "$exe --read Abbild-日本.bin: exit status 0 (got $code)" test "$code" = 0
  check "$exe: Abbild-日本.bin holds the flash" cmp -s "$u/Abbild-日本.bin" "$u/bridge.orig"
  run_in "$u" "$exe" --backup "Sicherung-日本.bin" --yes
  code=$?
  check "$exe --backup Sicherung-日本.bin --yes: exit status 0 (got $code)" test "$code" = 0
  check "$exe: Sicherung-日本.bin holds the flash as it was" \
    cmp -s "$u/Sicherung-日本.bin" "$u/bridge.orig"
  check "$exe: updated to 01.20" installed "$u/bridge.bin" 01.20
  run_in "$u" "$exe" --restore "Sicherung-日本.bin" --yes
  code=$?
  check "$exe --restore Sicherung-日本.bin --yes: exit status 0 (got $code)" test "$code" = 0
  check "$exe: Sicherung-日本.bin written back" cmp -s "$u/bridge.bin" "$u/bridge.orig"
  rm -f "$u/Abbild-日本.bin" "$u/Sicherung-日本.bin"
done

# ---- 9: ZEDRIKFU.exe from the zip ----------------------------------------------------------

if [ -n "$zip" ]; then
  echo "== ZEDRIKFU.exe from $(basename "$zip")"
  d="$work/zip"
  mkdir -p "$d"
  check "zip unpacked" python3 -m zipfile -e "$zip" "$d"
  check "ZEDRIKFU.exe at the top of the zip" test -f "$d/ZEDRIKFU.exe"
  # Alone in its folder, as unpacked: no system information file.
  start "$d" ZEDRIKFU.exe
  check "unpacked, alone: message 104" \
    wait_for 'text="System information file (ZEDRIKFU.ini) is not exists."' 30
  check "message box titled ZEDRIK by default" window_has ZEDRIK "is not exists."
  press Return ZEDRIK
  code=$(exit_code "$d")
  check "exit status 1 after message 104 (got $code)" test "$code" = 1
  # With a release's ZEDRIKFU.ini and MainFW.kqfw beside it, as README.txt
  # says: it reads both and looks for the bridge (none under Wine).
  sysinfo >"$d/ZEDRIKFU.ini"
  make_firmware "$d/MainFW.kqfw"
  start "$d" ZEDRIKFU.exe
  check "unpacked, with the release's files: message 203" \
    wait_for 'text="Not found a target device!"' 30
  press Return ZEDRIK
  code=$(exit_code "$d")
  check "exit status 1 after message 203 (got $code)" test "$code" = 1
fi

echo "Screenshots: $artifacts"
echo "wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

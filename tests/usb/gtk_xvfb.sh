#!/usr/bin/env bash
# The GTK front-end on a virtual display (Xvfb): the layer's own tests, then
# the real zedrikfu under vbridge-usb driven with xdotool, with screenshots
# of every window kept in the artifacts folder; Return and Escape on the
# progress dialog, OK on the main window and on the message box; message 104
# as a message box; zedrikfu-sim with its GTK windows; started where no
# release is, the firmware file chooser (a chosen file, or message 106), for
# zedrikfu-sim and for the real zedrikfu, whose transport is then chosen with
# the chosen file's release.
# $1: vbridge-usb, $2: zedrikfu, $3: zedrikfu-image, $4: zf_tests_gtk,
# $5: zedrikfu-sim, $6: artifacts folder.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
drives "$1" "$2" "$3"
layer_tests=$(program "$4")
sim=$(program "$5")
artifacts=${6:?artifacts folder missing}
mkdir -p "$artifacts"
artifacts=$(cd "$artifacts" && pwd)
rm -f "$artifacts"/*.png
xvfb_pid=
app_pid=
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A display of our own; Xvfb writes its number once it is ready.
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.log"; echo "FAIL: Xvfb did not start"; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
unset WAYLAND_DISPLAY

# --- the layer's tests --------------------------------------------------------------
if timeout 120 "$layer_tests" >"$work/layer.txt" 2>&1; then ok; else bad "GTK layer tests"; cat "$work/layer.txt"; fi
grep -E '^\[  (PASSED|FAILED) ' "$work/layer.txt"

# window ROLE [SECONDS]: the id of the visible ZEDRIKFU window with this role
window() {
  local role=$1 tries=$((${2:-15} * 10)) w
  for _ in $(seq "$tries"); do
    for w in $(xdotool search --onlyvisible --name '^ZEDRIKFU$' 2>/dev/null); do
      if xprop -id "$w" WM_WINDOW_ROLE 2>/dev/null | grep -q "\"$role\""; then
        echo "$w"
        return 0
      fi
    done
    sleep 0.1
  done
  return 1
}
shot() { sleep 0.3; import -window root "$artifacts/$1.png" && ok || bad "screenshot $1"; }
press() { xdotool windowfocus --sync "$1" && xdotool key --clearmodifiers "$2"; }
# finish DESCRIPTION WANTED: waits for the program and checks its status
finish() {
  local code=0
  for _ in $(seq 300); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
  wait "$app_pid" || code=$?
  app_pid=
  status_is "$code" "$2" "$1"
}

# --- a whole update with the real zedrikfu --------------------------------------------
d=$work/update
updater_folder "$d" "$updater" "$tool"
bridge_section bridge >"$d/devices.ini"
# zedrikfu takes the SCSI generic path here: 150 ms per command keeps the
# read of what the update uses (about 20 commands) on the screen for a few
# seconds.
(cd "$d" && ZEDRIKFU_VERBOSE=1 exec "$vbridge" --delay-ms 150 devices.ini -- ./zedrikfu \
  >out.txt 2>&1) &
app_pid=$!

if w=$(window ProgressDialog); then
  ok
  shot 01-read-progress
  press "$w" Return
  press "$w" Escape
  sleep 0.3
  xdotool search --onlyvisible --name '^ZEDRIKFU$' | grep -qx "$w" && ok ||
    bad "Return or Escape ended the progress dialog"
else
  bad "no read progress dialog"
fi
if w=$(window MainWindow 30); then
  ok
  shot 02-main-window
  press "$w" Return  # OK, the default button
else
  bad "no main window"
fi
if w=$(window ProgressDialog); then ok; shot 03-write-progress; else bad "no write progress dialog"; fi
if w=$(window MessageBox 30); then
  ok
  shot 04-message-201
  press "$w" Return
else
  bad "no message box after the write"
fi
finish "GTK update" 0
has "zedrikfu: transport: SCSI generic /dev/sg1" "$d/out.txt" "GTK update over SCSI generic"
[ "$("$tool" inspect "$d/flash.bin" | sed -n 's/^installed version (for QK9318A): //p')" = "01.20" ] &&
  ok || bad "GTK update did not write the new firmware"

# --- a message from the checks: no system information file ----------------------------
d=$work/noini
updater_folder "$d" "$updater" "$tool"
rm "$d/ZEDRIKFU.ini"
bridge_section bridge >"$d/devices.ini"
# --dir names the release folder: nothing is asked for, its files are missing.
(cd "$d" && exec "$vbridge" devices.ini -- ./zedrikfu --dir "$d" >out.txt 2>&1) &
app_pid=$!
if w=$(window MessageBox); then
  ok
  shot 05-message-104
  press "$w" Return
else
  bad "no message box for 104"
fi
finish "message 104" 1
window MainWindow 1 >/dev/null && bad "main window shown after message 104" || ok

# --- zedrikfu-sim has the GTK windows too; Escape is Cancel ---------------------------
d=$work/sim
updater_folder "$d" "$sim" "$tool"
(cd "$d" && exec ./zedrikfu-sim >out.txt 2>&1) &
app_pid=$!
if w=$(window MainWindow 30); then
  ok
  shot 06-sim-main-window
  press "$w" Escape
else
  bad "no main window from zedrikfu-sim"
fi
finish "zedrikfu-sim cancelled" 2

# --- started where no release is (the desktop): the firmware file chooser -------------
# release_apart DIR PROGRAM: the program, flash.bin and flash.orig in DIR/app,
# the release (ZEDRIKFU.ini and New-01.20.kqfw) in DIR/release.
release_apart() {
  local dir=$1 prog=$2
  updater_folder "$dir/release" "$prog" "$tool"
  mkdir -p "$dir/app"
  mv "$dir/release/$(basename "$prog")" "$dir/release/flash.bin" "$dir/release/flash.orig" "$dir/app/"
  mv "$dir/release/MainFW.kqfw" "$dir/release/New-01.20.kqfw"
}
# chooser_case DIR: zedrikfu-sim started in DIR/app, its virtual bridge on
# DIR/app/flash.bin.
chooser_case() {
  local dir=$1
  release_apart "$dir" "$sim"
  bridge_section bridge >"$dir/app/virtual-devices.ini"
  (cd "$dir/app" && exec ./zedrikfu-sim >out.txt 2>&1) &
  app_pid=$!
}
# update_with_chosen FILE CHOOSER-SHOT MAIN-SHOT: types FILE into the chooser,
# then OK on the main window and on the message box after the write.
update_with_chosen() {
  local file=$1 w
  if w=$(window FirmwareChooser 30); then
    ok
    shot "$2"
    press "$w" ctrl+l
    xdotool type --delay 20 "$file"
    sleep 0.3
    xdotool key --clearmodifiers Return
    if w=$(window MainWindow 30); then
      ok
      shot "$3"
      press "$w" Return  # OK: the update with the chosen release
      if w=$(window MessageBox 30); then ok; press "$w" Return; else bad "no message box after the write"; fi
    else
      bad "no main window after the firmware file was chosen"
    fi
  else
    bad "no firmware file chooser"
  fi
}
# close_chooser SHOT: Escape on the chooser, then OK on message 106.
close_chooser() {
  local w
  if w=$(window FirmwareChooser 30); then
    ok
    press "$w" Escape
    if w=$(window MessageBox); then
      ok
      shot "$1"
      press "$w" Return
    else
      bad "no message box for 106"
    fi
  else
    bad "no firmware file chooser"
  fi
}
d=$work/chooser
chooser_case "$d"
update_with_chosen "$d/release/New-01.20.kqfw" 07-firmware-chooser 08-chosen-release-main-window
finish "update with the chosen firmware file" 0
has "$d/release/ZEDRIKFU.ini" "$d/app/out.txt" "ZEDRIKFU.ini from the chosen file's folder"
has "$d/release/New-01.20.kqfw" "$d/app/out.txt" "the chosen firmware file"
[ "$("$tool" inspect "$d/app/flash.bin" | grep -cE '^firmware area [12]: .* version 01\.20$')" -eq 2 ] &&
  ok || bad "the chosen firmware was not written"

d=$work/chooser-closed
chooser_case "$d"
close_chooser 09-message-106
finish "firmware file chooser closed" 1
has "zedrikfu-sim: no firmware file was chosen" "$d/app/out.txt" "cause of message 106"
window MainWindow 1 >/dev/null && bad "main window shown after message 106" || ok
cmp -s "$d/app/flash.bin" "$d/app/flash.orig" && ok || bad "flash changed without a firmware file"

# --- the real zedrikfu started where no release is ------------------------------------
# The transport is chosen with the ZEDRIKFU.ini of the chosen file's folder:
# it admits the bridge, which shows a SCSI generic node, so auto takes the
# SCSI path as it does with the release next to the program.
d=$work/chooser-real
release_apart "$d" "$updater"
bridge_section bridge >"$d/app/devices.ini"
(cd "$d/app" && exec "$vbridge" devices.ini -- ./zedrikfu -v >out.txt 2>&1) &
app_pid=$!
update_with_chosen "$d/release/New-01.20.kqfw" 10-zedrikfu-firmware-chooser \
  11-zedrikfu-chosen-release-main-window
finish "zedrikfu with the chosen firmware file" 0
has "zedrikfu: transport: SCSI generic /dev/sg1" "$d/app/out.txt" \
  "transport chosen with the chosen file's ZEDRIKFU.ini"
has "$d/release/New-01.20.kqfw" "$d/app/out.txt" "zedrikfu: the chosen firmware file"
[ "$("$tool" inspect "$d/app/flash.bin" | grep -cE '^firmware area [12]: .* version 01\.20$')" -eq 2 ] &&
  ok || bad "zedrikfu: the chosen firmware was not written"
grep -q '^SCSI FE 94 ' "$d/app/bridge.trace" && ok || bad "zedrikfu: the write did not go over SCSI"

# Closed without a file: no transport is chosen, nothing is sent.
d=$work/chooser-real-closed
release_apart "$d" "$updater"
bridge_section bridge >"$d/app/devices.ini"
(cd "$d/app" && exec "$vbridge" devices.ini -- ./zedrikfu -v >out.txt 2>&1) &
app_pid=$!
close_chooser 12-zedrikfu-message-106
finish "zedrikfu: firmware file chooser closed" 1
has "zedrikfu: no firmware file was chosen" "$d/app/out.txt" "zedrikfu: cause of message 106"
lacks "zedrikfu: transport:" "$d/app/out.txt" "zedrikfu: a transport chosen without a release"
cmp -s "$d/app/flash.bin" "$d/app/flash.orig" && ok || bad "zedrikfu: flash changed without a firmware file"

# --- zedrikfu-sim with its GTK windows: a kill or a hang-up during the write ----------
# (A script's background job ignores SIGINT and SIGQUIT: those two are sent
# in the terminal tests, tests/e2e/interrupts.sh.)
d=$work/sim-signals
updater_folder "$d" "$sim" "$tool"
bridge_section bridge Latency=1500 >"$d/virtual-devices.ini"
(cd "$d" && exec ./zedrikfu-sim --verbose >out.txt 2>&1) &
app_pid=$!
if w=$(window MainWindow 30); then
  ok
  press "$w" Return
  for _ in $(seq 300); do grep -q '^USB 40 E5 ' "$d/bridge.trace" 2>/dev/null && break; sleep 0.02; done
  if grep -q '^USB 40 E5 ' "$d/bridge.trace"; then
    kill -TERM "$app_pid"
    sleep 0.2
    kill -HUP "$app_pid"
    if w=$(window MessageBox 30); then
      ok
      press "$w" Return
    else
      bad "no message box after signals during the write"
    fi
  else
    bad "the write did not start"
  fi
else
  bad "no main window from zedrikfu-sim"
fi
finish "zedrikfu-sim with SIGTERM and SIGHUP during the write" 0
has "the program ends once the write is complete" "$d/out.txt" "notice of the held signal"
for phase in reading erasing writing verifying; do
  has "zedrikfu-sim: $phase the flash" "$d/out.txt" "--verbose names the $phase phase in the GTK windows"
done
[ "$("$tool" inspect "$d/flash.bin" | grep -cE '^firmware area [12]: .* version 01\.20$')" -eq 2 ] &&
  ok || bad "not both copies written after the signals"

echo "screenshots: $artifacts"
summary "GTK under Xvfb"

#!/usr/bin/env bash
# Without a display the updater falls back to the terminal layer: the
# windows, captions and messages are printed and the answer is read from
# standard input. $1: zedrikfu-sim, $2: zedrikfu-image, $3 (optional):
# zedrikfu, which finds no device here.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
sim=$(program "$1")
tool=$(program "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset DISPLAY WAYLAND_DISPLAY

d=$work/sim
updater_folder "$d" "$sim" "$tool"
(cd "$d" && echo ok | ./zedrikfu-sim >out.txt 2>&1)
code=$?
status_is "$code" 0 "zedrikfu-sim update"
has "[ZEDRIKFU]" "$d/out.txt" "window title"
has "The firmware will be updated." "$d/out.txt" "main window text"
has "from version 01.10" "$d/out.txt" "first caption"
has "to     version 01.20" "$d/out.txt" "second caption"
has "Do you want to update the firmware?" "$d/out.txt" "question"
has "Please do NOT plug out nor turn off your device until completed!!" "$d/out.txt" \
  "progress dialog text"
has "Progress: 100%" "$d/out.txt" "progress drawn as lines"
has "The update was completed successfully." "$d/out.txt" "message 201"
lacks "Gtk" "$d/out.txt" "no GTK complaint"

if [ $# -ge 3 ]; then
  d=$work/real
  updater_folder "$d" "$(program "$3")" "$tool"
  # The filter admits 0x3F1C:0x0001 only, so no other USB device is spoken to.
  (cd "$d" && echo ok | ./zedrikfu >out.txt 2>&1)
  code=$?
  status_is "$code" 1 "zedrikfu without a bridge"
  has "Not found a target device!" "$d/out.txt" "message 203 on the terminal"
fi

summary "no display"

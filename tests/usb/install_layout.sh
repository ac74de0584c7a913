#!/usr/bin/env bash
# cmake --install puts the program, the udev rule and the desktop entry in
# their usual places (checked in a staging folder). $1: the build folder.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
build=${1:?build folder missing}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

if DESTDIR="$stage" cmake --install "$build" --prefix /usr >"$stage/install.log" 2>&1; then
  ok
else
  bad "cmake --install"
  cat "$stage/install.log"
fi
[ -x "$stage/usr/bin/zedrikfu" ] && ok || bad "no /usr/bin/zedrikfu"
rule=$stage/usr/lib/udev/rules.d/70-zedrikfu.rules
entry=$stage/usr/share/applications/zedrikfu.desktop
[ -f "$rule" ] && ok || bad "no udev rule in /usr/lib/udev/rules.d"
[ -f "$entry" ] && ok || bad "no desktop entry in /usr/share/applications"
for page in zedrikfu.1.gz zedrikfu-image.1.gz; do
  [ -f "$stage/usr/share/man/man1/$page" ] && ok || bad "no man page $page in /usr/share/man/man1"
done
[ -f "$stage/usr/share/doc/zedrikfu/copyright" ] && ok || bad "no copyright file in /usr/share/doc/zedrikfu"
[ -f "$stage/usr/share/doc/zedrikfu/README.md.gz" ] && ok || bad "no README.md.gz in /usr/share/doc/zedrikfu"
mime=$stage/usr/share/mime/packages/zedrikfu.xml
[ -f "$mime" ] && ok || bad "no shared-mime-info type in /usr/share/mime/packages"
has '<glob pattern="*.kqfw"/>' "$mime" "the type covers *.kqfw"
if [ -f "$rule" ]; then
  # Two rules, each for devices of vendor 0x3F1C only, grant access to the
  # user at the seat: the USB device and the SCSI generic node below it.
  grep -v '^#' "$rule" | grep -v '^$' >"$stage/rules"
  [ "$(wc -l <"$stage/rules")" -eq 2 ] && ok || bad "the rule file does not hold two rules"
  while read -r line; do
    case "$line" in
      'SUBSYSTEM=="usb", ENV{DEVTYPE}=="usb_device", ATTR{idVendor}=="3f1c", TAG+="uaccess"') ok ;;
      'SUBSYSTEM=="scsi_generic", SUBSYSTEMS=="usb", ATTRS{idVendor}=="3f1c", TAG+="uaccess"') ok ;;
      *) bad "unexpected rule: $line" ;;
    esac
  done <"$stage/rules"
fi
if [ -f "$entry" ]; then
  has "Exec=zedrikfu --firmware %f" "$entry" "desktop entry runs the program on a chosen file"
  has "MimeType=application/x-zedrikfu-firmware;" "$entry" "desktop entry opens firmware files"
  if command -v desktop-file-validate >/dev/null; then
    if desktop-file-validate "$entry" >"$stage/validate.txt" 2>&1; then ok; else
      bad "desktop-file-validate"
      cat "$stage/validate.txt"
    fi
  fi
fi
# An install into another prefix follows it.
if DESTDIR="$stage/b" cmake --install "$build" --prefix /opt/zedrikfu >/dev/null 2>&1 &&
  [ -x "$stage/b/opt/zedrikfu/bin/zedrikfu" ] &&
  [ -f "$stage/b/opt/zedrikfu/share/applications/zedrikfu.desktop" ]; then
  ok
else
  bad "install with prefix /opt/zedrikfu"
fi

summary "install"

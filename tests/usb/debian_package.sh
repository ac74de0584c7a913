#!/usr/bin/env bash
# cpack -G DEB builds the Debian package; its contents are listed and
# checked, its dependencies declared, and the program unpacked with dpkg -x
# into a scratch folder runs (the package is never installed here).
# $1: the build folder.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
packaging "${1:-}"

make_deb "Debian package"
dpkg-deb -c "$deb" >"$work/contents.txt"
for path in ./usr/bin/zedrikfu ./usr/bin/zedrikfu-image ./usr/lib/udev/rules.d/70-zedrikfu.rules \
  ./usr/share/applications/zedrikfu.desktop ./usr/share/mime/packages/zedrikfu.xml \
  ./usr/share/man/man1/zedrikfu.1.gz ./usr/share/man/man1/zedrikfu-image.1.gz \
  ./usr/share/doc/zedrikfu/copyright ./usr/share/doc/zedrikfu/changelog.Debian.gz \
  ./usr/share/doc/zedrikfu/README.md.gz; do
  grep -qE " $path\$" "$work/contents.txt" && ok || bad "package lacks $path"
done
dpkg-deb -f "$deb" Package Version Architecture Depends >"$work/control.txt"
has "Package: zedrikfu" "$work/control.txt" "package name"
version=$(sed -n 's/^project(ZEDRIKFU VERSION \([0-9.]*\).*/\1/p' "$here/../../CMakeLists.txt")
has "Version: $version-1" "$work/control.txt" "package version (Debian revision 1)"
has "libusb-1.0-0" "$work/control.txt" "depends on libusb"
has "libgtk-3-0" "$work/control.txt" "depends on GTK 3"
dpkg -x "$deb" "$work/root"
out=$("$work/root/usr/bin/zedrikfu" --version 2>&1)
[ "$out" = "zedrikfu $version" ] && ok || bad "unpacked zedrikfu --version: '$out'"
"$work/root/usr/bin/zedrikfu" --help >"$work/help.txt" 2>&1 && ok || bad "unpacked zedrikfu --help"
has "--restore" "$work/help.txt" "unpacked help"
man -l "$work/root/usr/share/man/man1/zedrikfu.1.gz" >"$work/man.txt" 2>/dev/null ||
  zcat "$work/root/usr/share/man/man1/zedrikfu.1.gz" | MANWIDTH=80 groff -man -Tutf8 >"$work/man.txt" 2>/dev/null
for option in --check --json --backup --read --restore --device --usb-id "EXIT STATUS"; do
  grep -qF -- "$option" "$work/man.txt" && ok || bad "man page lacks $option"
done
summary "Debian package"

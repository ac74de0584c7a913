#!/usr/bin/env bash
# The Debian package as Debian's checker sees it: cpack -G DEB, then lintian
# with no error and no warning, and what lintian is trusted with checked
# here too: the copyright file, the changelog of this version, man pages
# compressed without name or time stamp, stripped programs, a description
# within 80 columns, and the desktop entry without a hint of
# desktop-file-validate. $1: the build folder.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../usb/common.sh"
packaging "${1:-}"

make_deb "lintian"

# lintian: every tag of level error or warning fails (overrides, where a tag
# does not apply, sit in the package with a comment saying why).
lintian --version
lintian --fail-on error,warning "$deb" >"$work/lintian.txt" 2>&1
status=$?
cat "$work/lintian.txt"
status_is "$status" 0 "lintian"
if grep -qE '^[EW]: ' "$work/lintian.txt"; then bad "lintian reports errors or warnings"; else ok; fi

dpkg-deb -x "$deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"
doc=$work/root/usr/share/doc/zedrikfu

# The copyright file: machine-readable, the licence of LICENSE.
copyright=$doc/copyright
[ -f "$copyright" ] && ok || bad "no /usr/share/doc/zedrikfu/copyright"
has "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" "$copyright" \
  "copyright format line"
has "License: Expat" "$copyright" "copyright names the licence"
# The licence text of LICENSE, folded as in the file's licence paragraph.
license_words() { tr -s ' \n' '  ' | sed 's/ \. / /g; s/^ *//; s/ *$//'; }
want=$(sed -n '/^Permission is hereby granted/,$p' "$here/../../LICENSE" | license_words)
got=$(sed -n '/^ Permission is hereby granted/,$p' "$copyright" | license_words)
[ -n "$want" ] && [ "$want" = "$got" ] && ok || bad "the copyright file's licence text differs from LICENSE"

# The changelog names the package's version.
version=$(dpkg-deb -f "$deb" Version)
changelog=$doc/changelog.Debian.gz
if [ -f "$changelog" ]; then
  top=$(zcat "$changelog" | head -n1)
  [ "$top" = "zedrikfu ($version) unstable; urgency=medium" ] && ok ||
    bad "changelog's latest entry '$top' is not version $version"
else
  bad "no /usr/share/doc/zedrikfu/changelog.Debian.gz"
fi

# Compressed files: gzip -9n, so no file name (flag bit 3) and no time stamp
# (bytes 4-7) in the header.
for gz in "$changelog" "$work"/root/usr/share/man/man1/zedrikfu.1.gz \
  "$work"/root/usr/share/man/man1/zedrikfu-image.1.gz; do
  if [ ! -f "$gz" ]; then
    bad "no ${gz#"$work/root"}"
    continue
  fi
  header=$(od -An -tx1 -N8 "$gz" | tr -d ' \n')
  case "$header" in
    1f8b08[0-9a-f][0-9a-f]00000000)
      flags=$((0x${header:6:2}))
      [ $((flags & 8)) -eq 0 ] && ok || bad "${gz#"$work/root"} stores a file name"
      ;;
    *) bad "${gz#"$work/root"} is not gzip without a time stamp (header $header)" ;;
  esac
done
[ ! -e "$work/root/usr/share/man/man1/zedrikfu.1" ] && ok || bad "an uncompressed man page"

# The image tool's man page covers its commands and their options.
MANWIDTH=80 man -l "$work/root/usr/share/man/man1/zedrikfu-image.1.gz" >"$work/man.txt" 2>/dev/null
for word in inspect make-firmware make-flash make-default --flash --firmware --variant --version \
  --compat --code --random-size --seed --bad-crc --part --copies --vid --pid --bcd --manufacturer \
  --product --third --firmware2 --fw-name --encryption --no-type-name --corrupt-copy --blank \
  "EXIT STATUS"; do
  grep -qF -- "$word" "$work/man.txt" && ok || bad "zedrikfu-image(1) lacks $word"
done
# ... and every option the tool's usage names.
"$build/zedrikfu-image" --help >"$work/usage.txt" 2>&1
for option in $(grep -oE -- '--[a-z0-9-]+' "$work/usage.txt" | sort -u); do
  grep -qF -- "$option" "$work/man.txt" && ok || bad "zedrikfu-image(1) lacks $option of the usage"
done

# Stripped programs: no symbol table, no debug sections.
for program in zedrikfu zedrikfu-image; do
  sections=$(readelf -S -W "$work/root/usr/bin/$program" 2>/dev/null)
  [ -n "$sections" ] && ok || bad "readelf cannot read $program"
  if grep -qE '\.(symtab|debug_)' <<<"$sections"; then bad "$program is not stripped"; else ok; fi
done

# Description: summary and every line within 80 columns.
long=$(awk '/^Description:/ { on = 1 } on && /^[A-Z][A-Za-z-]*:/ && !/^Description:/ { on = 0 }
  on && length($0) > 80' "$work/control/control")
[ -z "$long" ] && ok || bad "description lines longer than 80 columns: $long"
[ "$(sed -n '/^Description:/,/^[A-Z]/p' "$work/control/control" | grep -c '^ ')" -ge 2 ] && ok ||
  bad "no extended description"

# The desktop entry: no error, no warning, no hint.
entry=$work/root/usr/share/applications/zedrikfu.desktop
if desktop-file-validate "$entry" >"$work/validate.txt" 2>&1 && [ ! -s "$work/validate.txt" ]; then
  ok
else
  bad "desktop-file-validate"
  cat "$work/validate.txt"
fi

summary "lintian"

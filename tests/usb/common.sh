# Helpers shared by the end-to-end scripts of the POSIX build (sourced).

passed=0
failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

# Absolute path of a program given on the command line.
program() {
  local p=${1:?program missing}
  p=$(cd "$(dirname "$p")" && pwd)/$(basename "$p")
  [ -x "$p" ] || { echo "FAIL: $p is not a program" >&2; exit 1; }
  echo "$p"
}

# drives VBRIDGE ZEDRIKFU IMAGE-TOOL: the programs a script drives, as
# absolute paths in $vbridge, $updater and $tool, and a scratch folder in
# $work (removed at the end unless the script sets a trap of its own).
drives() {
  vbridge=$(program "$1")
  updater=$(program "$2")
  tool=$(program "$3")
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
}

# packaging BUILD: for the package checks, the build folder as an absolute
# path in $build and a scratch folder in $work, removed at the end.
packaging() {
  build=$(cd "${1:?build folder missing}" && pwd)
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
}

# make_deb NAME: cpack -G DEB with the configuration of $build, in $work;
# the package's path in $deb. Without a package the script ends with the
# summary under NAME.
make_deb() {
  if (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >cpack.log 2>&1); then ok; else
    bad "cpack -G DEB"
    cat "$work/cpack.log"
  fi
  deb=$(ls "$work"/zedrikfu_*.deb 2>/dev/null | head -n1)
  [ -n "$deb" ] && ok || { bad "no zedrikfu_*.deb"; summary "$1"; exit 1; }
}

# has TEXT FILE DESCRIPTION: the file holds the text
has() {
  if grep -qF -- "$1" "$2"; then ok; else bad "$3: no \"$1\" in $2"; sed 's/^/  | /' "$2"; fi
}
# lacks TEXT FILE DESCRIPTION
lacks() {
  if grep -qF -- "$1" "$2"; then bad "$3: \"$1\" in $2"; else ok; fi
}
# status GOT WANT DESCRIPTION
status_is() {
  if [ "$1" -eq "$2" ]; then ok; else bad "$3: exit status $1, wanted $2"; fi
}

# updater_folder DIR PROGRAM IMAGE-TOOL: a folder with the program, the
# system information file (QK9318A, 0x3F1C:0x0001), firmware 01.20 in
# MainFW.kqfw and a 64 KiB flash image with two copies of firmware 01.10 in
# flash.bin (kept as flash.orig).
updater_folder() {
  local dir=$1 prog=$2 tool=$3
  mkdir -p "$dir"
  cp "$prog" "$dir/"
  printf '[TargetInfo]\r\nTargetBridgeIC=QK9318A\r\n[SysInfo]\r\nSysInfoNum=1\r\nVenderID0=0x3F1C\r\nProductID0=0x0001\r\n' \
    >"$dir/ZEDRIKFU.ini"
  "$tool" make-firmware --variant A --version 0x0110 --compat 0x0154 --random-size 4000 --seed 5 \
    -o "$dir/old.kqfw" >/dev/null
  "$tool" make-firmware --variant A --version 0x0120 --compat 0x0154 --random-size 4000 --seed 6 \
    -o "$dir/MainFW.kqfw" >/dev/null
  "$tool" make-flash --part "Macronix MX25V512C" --variant A --copies 2 --firmware "$dir/old.kqfw" \
    -o "$dir/flash.bin" >/dev/null
  cp "$dir/flash.bin" "$dir/flash.orig"
}

# bridge_section NAME [KEY=VALUE...]: a virtual-devices.ini section of a
# QK9318A bridge on flash.bin with its trace in NAME.trace
bridge_section() {
  local name=$1
  shift
  printf '[%s]\nVendorID=0x3F1C\nProductID=0x0001\nChipID=318a\nFlashPart=Macronix MX25V512C\nFlashImage=flash.bin\nTrace=%s.trace\n' \
    "$name" "$name"
  local kv
  for kv in "$@"; do printf '%s\n' "$kv"; done
}

summary() {
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

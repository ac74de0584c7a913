#!/usr/bin/env bash
# Two builds of one source tree in two folders give the same .deb, byte for
# byte. The first build is the given build folder (scripts/test-posix-usb.sh
# has built it; its packaged programs are brought up to date here); the
# second builds only the packaged programs, without tests and benchmarks,
# in a fresh folder elsewhere: a clone of HEAD when the working tree is
# clean, otherwise a copy of the tracked files as they are now, so that both
# builds have the same sources. Both packages take SOURCE_DATE_EPOCH from
# the last commit. $1: the build folder.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../usb/common.sh"
src=$(cd "$here/../.." && pwd)
build=$(cd "${1:?build folder missing}" && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
work=$(mktemp -d "${TMPDIR:-/tmp}/zedrikfu-reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT

SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct)
export SOURCE_DATE_EPOCH
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
targets=(zedrikfu zedrikfu-image)

package() {  # package BUILD OUT-FOLDER
  mkdir -p "$2"
  (cd "$2" && cpack -G DEB --config "$1/CPackConfig.cmake" >cpack.log 2>&1) || {
    cat "$2/cpack.log"
    return 1
  }
  ls "$2"/zedrikfu_*.deb >/dev/null 2>&1
}

# First build: the given folder.
if cmake --build "$build" -j "$jobs" --target "${targets[@]}" >"$work/build-one.log" 2>&1 &&
  package "$build" "$work/one"; then
  ok
else
  bad "first build and package"
  tail -n 30 "$work/build-one.log"
fi

# Second build: the same sources in another folder.
second=$work/src
if [ -z "$(git -C "$src" status --porcelain --untracked-files=no)" ]; then
  echo "   second build: a clone of HEAD $(git -C "$src" rev-parse --short HEAD) in $second"
  git clone -q --shared --no-checkout "$src" "$second" &&
    git -C "$second" checkout -q --detach "$(git -C "$src" rev-parse HEAD)" && ok ||
    bad "clone of HEAD"
else
  echo "   second build: the working tree has changes; a copy of its tracked files in $second"
  mkdir -p "$second"
  (cd "$src" && git ls-files -z | while IFS= read -r -d '' f; do
    [ -e "$f" ] && printf '%s\0' "$f"
  done | tar --null -T - -cf - | tar -xf - -C "$second") && ok || bad "copy of the tracked files"
fi
start=$SECONDS
if cmake -S "$second" -B "$second/build" -DCMAKE_BUILD_TYPE="$build_type" \
  -DZEDRIKFU_TESTS=OFF -DZEDRIKFU_BENCH=OFF >"$work/build-two.log" 2>&1 &&
  cmake --build "$second/build" -j "$jobs" --target "${targets[@]}" >>"$work/build-two.log" 2>&1 &&
  package "$second/build" "$work/two"; then
  ok
else
  bad "second build and package"
  tail -n 30 "$work/build-two.log"
fi
echo "   second build and package: $((SECONDS - start)) s"

one=$(ls "$work"/one/zedrikfu_*.deb 2>/dev/null | head -n1)
two=$(ls "$work"/two/zedrikfu_*.deb 2>/dev/null | head -n1)
if [ -n "$one" ] && [ -n "$two" ]; then
  (cd "$work" && sha256sum "${one#"$work/"}" "${two#"$work/"}")
  if cmp "$one" "$two"; then
    ok
  else
    bad "the two packages differ"
    # Which member differs, to start from.
    for part in control data; do
      for n in one two; do
        d=$work/$n/x-$part
        mkdir -p "$d"
        if [ "$part" = control ]; then dpkg-deb -e "${!n}" "$d"; else dpkg-deb -x "${!n}" "$d"; fi
        dpkg-deb --fsys-tarfile "${!n}" | tar -tv --full-time >"$work/$n/listing.txt"
      done
      diff -r "$work/one/x-$part" "$work/two/x-$part" | head -n 20
    done
    diff "$work/one/listing.txt" "$work/two/listing.txt" | head -n 20
  fi
else
  bad "a package is missing"
fi
summary "reproducible package"

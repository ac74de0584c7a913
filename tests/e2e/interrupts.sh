#!/usr/bin/env bash
# zedrikfu-sim interrupted: SIGINT, SIGTERM, SIGHUP and SIGQUIT at sampled
# commands of the write, during the read and at the question, and keys
# typed while the flash is read. Judged on the virtual bridge's flash image
# afterwards: a signal during the write must not stop it (message 201, both
# copies valid), one before it ends the program with nothing written.
# tests/e2e/drive.py runs the program (on a pseudo-terminal where a person's
# terminal matters) and sends the signal once the bridge's trace file has
# reached a given command.
set -u
source "$(dirname "$(realpath "$0")")/lib/paced_update.sh"
runs=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
ulimit -c 0  # SIGQUIT leaves no core file

# drive FOLDER DRIVE-ARGUMENTS...: runs zedrikfu-sim there under the driver;
# exit status in $status, the driver's report in FOLDER/drive.txt and the
# program's output in FOLDER/out.txt.
drive() {
  local d=$1
  shift
  runs=$((runs + 1))
  (cd "$d" && "$python" "$drive" --log out.txt "$@" -- ./zedrikfu-sim > drive.txt 2>&1)
  status=$?
}

# The update is complete: both copies hold 01.20 with good CRCs, the header
# and the parameter area are good.
updated() {  # flash description
  local report
  report=$("$image" inspect "$1") || { fail "$2: inspect failed"; return; }
  [ "$(grep -cE '^firmware area [12]: .* version 01\.20$' <<<"$report")" -eq 2 ] ||
    fail "$2: not both copies hold 01.20"
  [ "$(grep -cE '^  code CRC: stored (0x[0-9A-F]+), computed \1 \(good\)' <<<"$report")" -eq 2 ] ||
    fail "$2: not both copies have a good CRC"
  grep -qE '^header: .*\(good\)$' <<<"$report" || fail "$2: header damaged"
  grep -qE '^parameter area: .*\(good\)$' <<<"$report" || fail "$2: parameter area damaged"
}

# Nothing was written: the flash as before, no erase or write command sent.
untouched() {  # folder description
  cmp -s "$1/flash.bin" "$1/flash.orig" || fail "$2: the flash changed"
  grep -qE '^USB 40 E[57] ' "$1/trace.txt" && fail "$2: an erase or write was sent"
}

signal_number() { kill -l "$1"; }

# --- how many commands come before the write, and how many in all -------------
d="$scratch/count"
prepare "$d" 0
(cd "$d" && echo no | ./zedrikfu-sim > /dev/null 2>&1)
before=$(wc -l < "$d/trace.txt")
reset "$d"
(cd "$d" && echo ok | ./zedrikfu-sim > /dev/null 2>&1) || fail "count: the update failed"
total=$(wc -l < "$d/trace.txt")
writing=$((total - before))
[ "$before" -gt 100 ] && [ "$writing" -gt 100 ] || fail "count: $before before the write, $writing in it"
echo "commands: $before up to the question, $writing in the write"

# --- a signal during the write: the write goes on, is reported, then the end --
d="$scratch/write"
prepare "$d" 200
points=(1 3 $((writing / 5)) $((writing * 2 / 5)) $((writing * 3 / 5)) $((writing * 4 / 5)) $((writing - 4)))
held=0
between=0
for point in "${points[@]}"; do
  for sig in INT TERM HUP QUIT; do
    what="SIG$sig at write command $point"
    reset "$d"
    drive "$d" send:ok\\n "lines:$((before + point)):trace.txt" "signal:$sig"
    [ "$status" -eq 0 ] || { fail "$what: exit $status"; sed 's/^/  | /' "$d/drive.txt"; }
    # Sent after the write's first command; normally before its last one,
    # but a busy machine may delay the driver past it, which is still
    # inside the hold (until the report), only not between two commands.
    sent=$(sed -n 's/^drive: sent SIG[A-Z]* at line \([0-9]*\)$/\1/p' "$d/drive.txt")
    [ -n "$sent" ] && [ "$sent" -gt "$before" ] || fail "$what: sent at line ${sent:-?}, before the write"
    [ -n "$sent" ] && [ "$sent" -lt "$total" ] && between=$((between + 1))
    grep -qF "The update was completed successfully." "$d/out.txt" || fail "$what: no message 201"
    grep -qF "the program ends once the write is complete" "$d/out.txt" ||
      fail "$what: the signal was not taken while writing"
    [ "$(wc -l < "$d/trace.txt")" -eq "$total" ] || fail "$what: the write did not run to its end"
    updated "$d/flash.bin" "$what"
    held=$((held + 1))
  done
done
# Ctrl+C pressed again and again, then a kill: one notice, a complete write.
reset "$d"
drive "$d" send:ok\\n "lines:$((before + writing / 3)):trace.txt" signal:INT sleep:0.01 signal:INT \
  signal:TERM signal:HUP
[ "$status" -eq 0 ] || fail "repeated signals: exit $status"
[ "$(grep -c "the program ends once the write is complete" "$d/out.txt")" -eq 1 ] ||
  fail "repeated signals: not exactly one notice"
updated "$d/flash.bin" "repeated signals"
echo "write: $held signal runs at ${#points[@]} commands of the write ($between of them between two" \
  "of its commands), each completed"

# --- a signal during the read or at the question ends the program as before --
d="$scratch/early"
prepare "$d" 200
for sig in INT TERM HUP QUIT; do
  number=$(signal_number "$sig")
  what="SIG$sig during the read"
  reset "$d"
  drive "$d" send:ok\\n "lines:$((before / 2)):trace.txt" "signal:$sig"
  [ "$status" -eq $((128 + number)) ] || fail "$what: exit $status, wanted $((128 + number))"
  untouched "$d" "$what"

  what="SIG$sig at the question"
  reset "$d"
  drive "$d" --tty "output:(Enter = OK): " "signal:$sig"
  [ "$status" -eq $((128 + number)) ] || fail "$what: exit $status, wanted $((128 + number))"
  untouched "$d" "$what"
  [ "$(wc -l < "$d/trace.txt")" -eq "$before" ] || fail "$what: commands after the question"
done

# --- keys typed ahead while the flash is read do not answer the question ------
d="$scratch/typeahead"
prepare "$d" 200
reset "$d"
drive "$d" --tty "lines:$((before / 3)):trace.txt" send:\\n "lines:$((before / 2)):trace.txt" \
  send:yes\\n "output:(Enter = OK): " sleep:0.5 alive "most:$before:trace.txt" send:no\\n
[ "$status" -eq 2 ] || { fail "typed ahead, then no: exit $status"; sed 's/^/  | /' "$d/drive.txt"; }
untouched "$d" "typed ahead, then no"

# Enter at the question (on a terminal) is OK; the report waits for Enter.
reset "$d"
drive "$d" --tty "output:(Enter = OK): " send:\\n "output:(Enter to close)" alive send:\\n
[ "$status" -eq 0 ] || { fail "Enter on a terminal: exit $status"; sed 's/^/  | /' "$d/drive.txt"; }
grep -qF "The update was completed successfully." "$d/out.txt" || fail "Enter on a terminal: no 201"
updated "$d/flash.bin" "Enter on a terminal"

# A signal while the final report waits for Enter closes it: the report
# stays on the screen and the run ends with the report's status, not by the
# signal, without another key.
for sig in INT TERM HUP QUIT; do
  reset "$d"
  drive "$d" --tty "output:(Enter = OK): " send:\\n "output:(Enter to close)" "signal:$sig" ends
  [ "$status" -eq 0 ] || { fail "SIG$sig at (Enter to close): exit $status"; sed 's/^/  | /' "$d/drive.txt"; }
  grep -qF "The update was completed successfully." "$d/out.txt" || fail "SIG$sig at (Enter to close): no 201"
  updated "$d/flash.bin" "SIG$sig at (Enter to close)"
done
# A signal held during the write: the report is shown and the run ends with
# its status at once, without waiting for Enter.
for sig in INT TERM; do
  reset "$d"
  drive "$d" --tty "output:(Enter = OK): " send:\\n "lines:$((before + writing / 3)):trace.txt" \
    "signal:$sig" ends
  [ "$status" -eq 0 ] || { fail "SIG$sig in the write on a terminal: exit $status"; sed 's/^/  | /' "$d/drive.txt"; }
  grep -qF "The update was completed successfully." "$d/out.txt" || fail "SIG$sig in the write on a terminal: no 201"
  grep -qF "(Enter to close)" "$d/out.txt" && fail "SIG$sig in the write on a terminal: waited for Enter"
  updated "$d/flash.bin" "SIG$sig in the write on a terminal"
done
# A message outside the write (no bridge: 203) closed by a signal ends with
# that message's status.
nb="$scratch/nobridge"
prepare "$nb" 0
printf '[other]\nVendorID=0x1234\nProductID=0x5678\nChipID=none\n' > "$nb/virtual-devices.ini"
drive "$nb" --tty "output:(Enter to close)" signal:TERM ends
[ "$status" -eq 1 ] || { fail "SIGTERM at message 203: exit $status"; sed 's/^/  | /' "$nb/drive.txt"; }
grep -qF "Not found a target device!" "$nb/out.txt" || fail "SIGTERM at message 203: no message"
cp "$d/flash.bin" "$d/updated.bin"

# --- the question is asked where the answer is read ---------------------------
# Standard output goes to a file, standard input is the terminal: the
# question, its prompt and the wait for Enter appear on the terminal; the
# file keeps the run with the answer.
ask() {  # folder drive-arguments... -- command: like drive, for a shell command
  local d=$1
  shift
  runs=$((runs + 1))
  (cd "$d" && "$python" "$drive" --tty --timeout 20 --log out.txt "$@" > drive.txt 2>&1)
  status=$?
}
reset "$d"
ask "$d" "output:Do you want to update the firmware?" "output:(Enter = OK): " send:\\n \
  "output:(Enter to close)" send:\\n -- sh -c './zedrikfu-sim >log.txt 2>err.txt'
[ "$status" -eq 0 ] || { fail "output to a file: exit $status"; sed 's/^/  | /' "$d/drive.txt"; }
updated "$d/flash.bin" "output to a file"
grep -qF "The update was completed successfully." "$d/log.txt" || fail "output to a file: no 201 in the file"
grep -qx "OK" "$d/log.txt" || fail "output to a file: the answer is not in the file"
grep -qF "(Enter" "$d/log.txt" && fail "output to a file: a prompt went into the file"
reset "$d"
ask "$d" "output:Do you want to restore the flash?" "output:(Enter = OK): " send:no\\n \
  -- sh -c './zedrikfu-sim --restore updated.bin >log.txt 2>err.txt'
[ "$status" -eq 2 ] || { fail "restore, output to a file: exit $status"; sed 's/^/  | /' "$d/drive.txt"; }
grep -qx "Cancel" "$d/log.txt" || fail "restore, output to a file: the answer is not in the file"
untouched "$d" "restore answered no on the terminal"
# No terminal to show the question on (no controlling terminal, standard
# error a file): nothing is asked, nothing written, --yes is named.
reset "$d"
ask "$d" -- setsid -w sh -c './zedrikfu-sim >log.txt 2>err.txt'
[ "$status" -eq 2 ] || { fail "no terminal for the question: exit $status"; sed 's/^/  | /' "$d/drive.txt"; }
grep -qF "use --yes" "$d/err.txt" || fail "no terminal for the question: --yes not named"
untouched "$d" "no terminal for the question"

# --- a signal while an image is saved: the file is completed first ----------
# The driver sends the signal once the temporary file exists; the program
# ends by the signal with the file complete and no temporary file left. A
# run whose save ended before the driver saw it is tried again.
d="$scratch/save"
prepare "$d" 0
hits=0
for attempt in 1 2 3 4 5 6 7 8 9 10 11 12; do
  sig=$(echo INT TERM HUP | cut -d' ' -f$((attempt % 3 + 1)))
  number=$(signal_number "$sig")
  reset "$d"
  rm -f "$d"/saved.bin* "$d"/backup.bin*
  if [ $((attempt % 2)) -eq 0 ]; then
    file=saved.bin
    args=(--read saved.bin)
  else
    file=backup.bin
    args=(--yes --backup backup.bin)
  fi
  runs=$((runs + 1))
  (cd "$d" && "$python" "$drive" --timeout 20 --log out.txt "exists:$file.??????" "signal:$sig" \
    -- ./zedrikfu-sim "${args[@]}" > drive.txt 2>&1)
  status=$?
  leftover=$(cd "$d" && ls | grep -E "^$file\\.......$")
  [ -z "$leftover" ] || fail "SIG$sig while saving $file: $leftover left behind"
  [ "$status" -eq $((128 + number)) ] || continue
  hits=$((hits + 1))
  cmp -s "$d/$file" "$d/flash.orig" || fail "SIG$sig while saving $file: the file is not the flash"
  untouched "$d" "SIG$sig while saving $file"
done
[ "$hits" -gt 0 ] || fail "no signal arrived while an image was saved"
echo "save: $hits of 12 signals arrived while an image was saved"

echo "$runs runs"
if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all interrupt scenarios passed"

#!/usr/bin/env bash
# zedrikfu-sim keeps the machine awake and holds off shutdown and logout
# while it writes: a logind "block" inhibitor for "sleep:shutdown", taken
# when the write starts and given back when it ends. logind is python3-
# dbusmock's template on a private message bus that stands in for the system
# bus (DBUS_SYSTEM_BUS_ADDRESS). Without a bus, or without logind on it, the
# update goes on and says so once on standard error.
set -u
source "$(dirname "$(realpath "$0")")/lib/paced_update.sh"
scratch=$(mktemp -d)
bus_pid=
mock_pid=
cleanup() {
  [ -n "$mock_pid" ] && kill "$mock_pid" 2>/dev/null
  [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

updated() {  # folder description
  [ "$("$image" inspect "$1/flash.bin" | grep -cE '^firmware area [12]: .* version 01\.20$')" -eq 2 ] ||
    fail "$2: not both copies hold 01.20"
}

for tool in dbus-daemon gdbus; do
  command -v "$tool" > /dev/null || { echo "FAIL: $tool is missing"; exit 1; }
done
"$python" -c 'import dbusmock' || { echo "FAIL: python3-dbusmock is missing"; exit 1; }

# --- a private bus with logind on it ------------------------------------------------
dbus-daemon --session --nofork --nopidfile --print-address=3 3> "$scratch/bus.address" \
  2> "$scratch/bus.err" &
bus_pid=$!
for _ in $(seq 600); do [ -s "$scratch/bus.address" ] && break; sleep 0.05; done
bus=$(head -n1 "$scratch/bus.address")
[ -n "$bus" ] || { echo "FAIL: no private bus"; exit 1; }
DBUS_SYSTEM_BUS_ADDRESS=$bus "$python" -m dbusmock --template logind --system \
  --logfile "$scratch/logind.log" > "$scratch/logind.out" 2>&1 &
mock_pid=$!

# Scripts the driver runs while the program runs: the inhibitors logind
# holds, and checks that ZEDRIKFU's is held or has been given back (logind
# notices a closed descriptor a moment later: waited for up to 10 s).
cat > "$scratch/inhibitors" <<EOF
#!/bin/sh
exec gdbus call --address '$bus' --dest org.freedesktop.login1 \
  --object-path /org/freedesktop/login1 --method org.freedesktop.login1.Manager.ListInhibitors
EOF
cat > "$scratch/held" <<EOF
#!/bin/sh
'$scratch/inhibitors' > '$scratch/during.txt' &&
  grep -qF "('sleep:shutdown', 'ZEDRIKFU', " '$scratch/during.txt' &&
  grep -qF "'block', uint32" '$scratch/during.txt' && exit 0
echo "inhibitors during the write: \$(cat '$scratch/during.txt')"
exit 1
EOF
cat > "$scratch/released" <<EOF
#!/bin/sh
for i in \$(seq 200); do
  '$scratch/inhibitors' > '$scratch/after.txt' || exit 1
  grep -qF "'ZEDRIKFU'" '$scratch/after.txt' || exit 0
  sleep 0.05
done
exit 1
EOF
chmod +x "$scratch/inhibitors" "$scratch/held" "$scratch/released"
for _ in $(seq 600); do "$scratch/inhibitors" > /dev/null 2>&1 && break; sleep 0.05; done
"$scratch/inhibitors" > /dev/null 2>&1 || { echo "FAIL: the logind mock did not start"; cat "$scratch/logind.out"; exit 1; }

d="$scratch/update"
prepare "$d" 0
(cd "$d" && echo no | ./zedrikfu-sim > /dev/null 2>&1)
before=$(wc -l < "$d/trace.txt")
latency() { sed -i "s/^Latency=.*/Latency=$1/" "$d/virtual-devices.ini"; }

# --- held from the first command of the write until the write has ended ------------
# On a terminal the report waits for Enter: the program still runs there,
# after the write, and must have given the inhibitor back by then. 2 ms a
# command: the write lasts long enough for logind to be asked during it.
reset "$d"
latency 2000
(cd "$d" && DBUS_SYSTEM_BUS_ADDRESS=$bus "$python" "$drive" --tty --log out.txt \
  "output:(Enter = OK): " "check:$scratch/released" send:\\n \
  "lines:$((before + 1)):$d/trace.txt" "check:$scratch/held" \
  "output:(Enter to close)" alive "check:$scratch/released" send:\\n \
  -- ./zedrikfu-sim > drive.txt 2>&1)
status=$?
[ "$status" -eq 0 ] || {
  fail "update with logind: exit $status"
  sed 's/^/  | /' "$d/drive.txt"
  grep -a "not held off" "$d/out.txt"
  sed 's/^/  logind: /' "$scratch/logind.log"
}
grep -qF "The update was completed successfully." "$d/out.txt" || fail "update with logind: no 201"
grep -qF "not held off" "$d/out.txt" && fail "update with logind: warned although logind answered"
updated "$d" "update with logind"
inhibits=$(grep -c ' Inhibit ' "$scratch/logind.log")
[ "$inhibits" -eq 1 ] || fail "Inhibit called $inhibits times, wanted once"
grep -qE ' Inhibit "sleep:shutdown" "ZEDRIKFU" "[^"]+" "block"$' "$scratch/logind.log" ||
  fail "no Inhibit(\"sleep:shutdown\", \"ZEDRIKFU\", ..., \"block\"): $(grep Inhibit "$scratch/logind.log")"

# --- Cancel takes no inhibitor -----------------------------------------------------
reset "$d"
latency 0
(cd "$d" && echo no | DBUS_SYSTEM_BUS_ADDRESS=$bus ./zedrikfu-sim > out.txt 2>&1)
[ "$(grep -c ' Inhibit ' "$scratch/logind.log")" -eq "$inhibits" ] || fail "Cancel took an inhibitor"

# --- a bus without logind, and no bus at all: the update goes on, said once ----------
kill "$mock_pid" 2>/dev/null
wait "$mock_pid" 2>/dev/null
mock_pid=
for address in "$bus" "unix:path=$scratch/no-bus"; do
  what="update with $([ "$address" = "$bus" ] && echo "a bus without logind" || echo "no bus")"
  reset "$d"
  (cd "$d" && echo ok | DBUS_SYSTEM_BUS_ADDRESS=$address ./zedrikfu-sim > out.txt 2> err.txt)
  status=$?
  [ "$status" -eq 0 ] || fail "$what: exit $status"
  updated "$d" "$what"
  [ "$(grep -c "sleep, shutdown and logout are not held off during the write" "$d/err.txt")" -eq 1 ] ||
    { fail "$what: not said exactly once on standard error"; sed 's/^/  | /' "$d/err.txt"; }
done

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all logind inhibitor scenarios passed"

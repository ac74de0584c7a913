# Sourced by the suite scripts that run several test programs: suite NAME
# COMMAND... runs one, prints its name, its time and FAILED when it fails,
# and counts it in $passed or $failed; the script goes on either way. A
# suite that runs past $suite_limit seconds (default 900) is stopped and
# counts as failed, so that a hang names itself instead of holding the run.
passed=0
failed=0
# The update history of the programs under test goes to a folder of this
# run, never into the user's own state folder.
export XDG_STATE_HOME=${ZEDRIKFU_TEST_STATE:=$(mktemp -d)}
export ZEDRIKFU_TEST_STATE
suite() {
  local name=$1
  shift
  echo "-- $name"
  local start=$SECONDS
  local status=0
  timeout -k 10 "${suite_limit:-900}" "$@" || status=$?
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $name (exit status $status; 124: over ${suite_limit:-900} s)"
  fi
  echo "   ($((SECONDS - start)) s)"
}

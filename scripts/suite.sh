# Sourced by the suite scripts that run several test programs: suite NAME
# COMMAND... runs one, prints its name, its time and FAILED when it fails,
# and counts it in $passed or $failed; the script goes on either way.
passed=0
failed=0
suite() {
  local name=$1
  shift
  echo "-- $name"
  local start=$SECONDS
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $name"
  fi
  echo "   ($((SECONDS - start)) s)"
}

# Sourced by the end-to-end scripts that start two updates at once on one
# bridge, each run's exit status in a.status and b.status of its folder.

# second_of_two FOLDER: the run that found the bridge in use, "a" or "b"
# (exit status 1 while the other run's is 0). With any other pair of
# statuses it says which instead, and returns 1.
second_of_two() {
  local pair
  pair="$(cat "$1/a.status") $(cat "$1/b.status")"
  case $pair in
    "0 1") echo b ;;
    "1 0") echo a ;;
    *) echo "exit statuses $pair, wanted one 0 and one 1"; return 1 ;;
  esac
}

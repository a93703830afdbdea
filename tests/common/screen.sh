# Shell functions for the tests that drive a real program on an X server:
# source it after defining fail() and app_pid.
# shellcheck shell=bash

# Colour of one screen pixel as "r,g,b".
pixel() {
  import -silent -window root -crop "1x1+$1+$2" -depth 8 txt:- 2>/dev/null |
    sed -n '2s/.*(\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1,\2,\3/p'
}

# Prints the id of the first window whose name matches the pattern $1,
# waiting up to $2 tenths of a second; fails at once when the program
# ($app_pid) has ended, and when no such window came in time.
wait_for_window() {
  local id
  for _ in $(seq "$2"); do
    id=$(xdotool search --name "$1" 2>/dev/null | head -n1 || true)
    [[ -n "$id" ]] && { echo "$id"; return 0; }
    # shellcheck disable=SC2154 # app_pid is the caller's
    kill -0 "$app_pid" 2>/dev/null || fail "the program ended before a window named '$1' showed"
    sleep 0.1
  done
  fail "no window named '$1'"
}

#!/bin/sh
# Runs a command under a virtual X server of its own, which it starts and stops.
#
#   tests/host/run-in-xvfb.sh COMMAND [ARGS...]
#
# Xvfb chooses a free display number itself (-displayfd), so programs started together never
# share one. xvfb-run -a instead picks the number from the lock files before its server
# starts: runs started together pick the same number, the losers' programs reach the
# winner's server, which refuses their cookie ("Authorization required"), and GNUstep's
# AppKit throws. The server accepts only the cookie of this run.
set -eu
dir=$(mktemp -d "${TMPDIR:-/tmp}/kelo-xvfb-XXXXXX")
server=
trap 'if [ -n "$server" ]; then kill "$server" 2>/dev/null || :; wait "$server" 2>/dev/null || :; fi
      rm -rf "$dir"' EXIT
cookie=$(mcookie)
export XAUTHORITY="$dir/Xauthority"
: >"$XAUTHORITY"
# The server reads every cookie in the file whatever display it names; the client looks for
# its display's, added once the number is known.
xauth -q add :65535 . "$cookie"
mkfifo "$dir/display"
Xvfb -displayfd 3 -nolisten tcp -auth "$XAUTHORITY" -screen 0 1024x768x24 \
  3>"$dir/display" 2>"$dir/log" &
server=$!
if ! read -r number <"$dir/display"; then
  cat "$dir/log" >&2
  exit 1
fi
xauth -q add ":$number" . "$cookie"
status=0
DISPLAY=:$number "$@" || status=$?
exit "$status"

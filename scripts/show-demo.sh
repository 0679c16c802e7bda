#!/usr/bin/env bash
# Opens the demo home in a file manager whose face is installed:
#
#   scripts/show-demo.sh dolphin|nautilus|nemo|caja [KELO_OVERLAY]
#
# Builds the sample home through the library (`kelo-overlay demo`) in a new temporary folder
# and starts a separate instance of the program with that folder as its home, on a session
# bus of its own, so that it does not hand the folder to a running instance of your own
# session (whose home has no synchronised folders). Close the window to end it; the folder
# is removed then.
set -euo pipefail

program=${1:-}
tool=${2:-build/cli/kelo-overlay}
case "$program" in
  dolphin) open=(dolphin --new-window) ;;
  nautilus) open=(nautilus --new-window) ;;
  nemo) open=(nemo) ;;
  caja) open=(caja --no-desktop) ;;
  *) echo "usage: $0 dolphin|nautilus|nemo|caja [KELO_OVERLAY]" >&2; exit 2 ;;
esac
command -v "$program" >/dev/null || { echo "show-demo: $program is not installed" >&2; exit 1; }

home=$(mktemp -d "${TMPDIR:-/tmp}/kelo-demo-XXXXXX")
trap 'rm -rf "$home"' EXIT
"$tool" demo "$home" >/dev/null
echo "show-demo: $program on the sample home $home (Sync/Documents)"
# GTK 4 draws with cairo here: its GL renderer stalls on X servers without GL (Xvfb, many
# remote desktops); GTK 3 programs ignore the variable.
HOME=$home GSK_RENDERER=cairo dbus-run-session -- "${open[@]}" "$home/Sync/Documents"

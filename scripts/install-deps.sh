#!/usr/bin/env bash
# Installs the Debian packages a job needs, and nothing that is already there.
#
#   scripts/install-deps.sh demo    what `make demo` needs: compilers, CMake, SQLite, utf8proc
#   scripts/install-deps.sh check   all the rest `make check` runs: the GNUstep bundle and its
#                                   X server, the sanitizers, the file managers and their
#                                   plug-in kits, the benchmarks' and tests' libraries
#
# As root it runs apt-get itself, otherwise through sudo. On a machine without dpkg and
# apt-get it lists the packages (by their Debian names) and goes on, so a build on another
# system fails later, at the first thing that is really missing, not here.
set -euo pipefail

demo=(
  g++ cmake ninja-build pkg-config make
  libsqlite3-dev libutf8proc-dev
)
check=(
  "${demo[@]}"
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # the Finder bundle built against GNUstep, and the X server its tests draw under
  gobjc++ libgnustep-gui-dev gnustep-back0.29 xvfb xauth
  # fuzzing and sanitizers with clang, the formatting check
  clang libclang-rt-14-dev clang-format
  # badge image generator and its check, benchmark plot
  python3 python3-matplotlib
  # the Dolphin face: KF5's KIO and Qt to build it; Dolphin with an icon theme, a D-Bus
  # session, xdotool and ImageMagick to see it under Xvfb, Pillow to judge the screenshots;
  # dpkg-dev's dpkg-shlibdeps for the packages' dependencies
  libkf5kio-dev extra-cmake-modules qtbase5-dev dolphin breeze-icon-theme dbus-daemon
  xdotool imagemagick python3-pil dpkg-dev
  # the GTK file managers, their extension kits, and what their screen tests run them with
  nautilus libnautilus-extension-dev nemo libnemo-extension-dev caja libcaja-extension-dev
  x11-apps python3-numpy
)

case "${1:-check}" in
  demo) packages=("${demo[@]}") ;;
  check) packages=("${check[@]}") ;;
  *) echo "usage: $0 [demo|check]" >&2; exit 2 ;;
esac

if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
  echo "install-deps: not a Debian system; install the equivalents of: ${packages[*]}" >&2
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
run=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || {
    echo "install-deps: not root and no sudo; install as root: ${missing[*]}" >&2
    exit 1
  }
  run=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${run[@]}" apt-get update -qq
"${run[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
echo "install-deps: done"

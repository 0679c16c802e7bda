#!/usr/bin/env bash
# Installs every package the build, the tests, the bundle and the benchmarks need on a
# Debian 12 machine, as root. Packages that are already there are skipped, so running
# it again costs a few dpkg queries.
set -euo pipefail

packages=(
  # toolchain and build
  g++ cmake ninja-build pkg-config make
  # libraries of the portable core, its tests and benchmarks
  libsqlite3-dev libutf8proc-dev libgtest-dev libgmock-dev libbenchmark-dev
  # the Finder bundle built against GNUstep, and the X server its tests draw under
  gobjc++ libgnustep-gui-dev gnustep-back0.29 xvfb xauth
  # fuzzing and sanitizers with clang
  clang libclang-rt-14-dev
  # formatting check, badge image generator, benchmark plot
  clang-format python3 python3-pil python3-matplotlib
)

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
SUDO=()
[[ $(id -u) -eq 0 ]] || SUDO=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
echo "install-deps: done"

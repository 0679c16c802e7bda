#!/bin/sh
# Builds the libFuzzer targets of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, coverage over every library. `make fuzz` and the continuous
# fuzzing build (.clusterfuzzlite/build.sh) both build through this script, so both get the
# same targets with the same options.
#
#   scripts/build-fuzzers.sh [BUILD_DIR [OUT_DIR]]
#   scripts/build-fuzzers.sh --list
#
#   BUILD_DIR  the CMake build folder (default build-fuzz); the fuzzers end up in BUILD_DIR/fuzz
#   OUT_DIR    if given, each fuzzer is copied there with its committed seed corpus beside it
#              as <name>_seed_corpus.zip, and the shared libraries it needs beyond the C and
#              C++ run-times (SQLite, utf8proc) go to OUT_DIR/lib, where the fuzzers look first:
#              the layout continuous fuzzing services expect, whose runners lack those libraries
#   --list     prints the names of the fuzz targets, one line
#
# CC and CXX default to clang and clang++; CFLAGS, CXXFLAGS and LDFLAGS from the environment
# are added to the project's own flags. JOBS sets the parallel build jobs (default: all CPUs).
set -eu

SRC=$(cd "$(dirname "$0")/.." && pwd)
# The targets are those fuzz/CMakeLists.txt adds, one kelo_add_fuzzer(NAME ...) line each.
FUZZERS=$(sed -n 's/^kelo_add_fuzzer(\([a-z_0-9]*\) .*/\1/p' "$SRC/fuzz/CMakeLists.txt" | tr '\n' ' ')
FUZZERS=${FUZZERS% }
if [ "${1:-}" = "--list" ]; then
  echo "$FUZZERS"
  exit 0
fi
BUILD=${1:-build-fuzz}
OUT=${2:-}

# shellcheck disable=SC2016  # $ORIGIN is for the dynamic loader, not for the shell
CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S "$SRC" -B "$BUILD" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELO_BUILD_TESTS=OFF -DKELO_BUILD_FUZZERS=ON \
  -DKELO_SANITIZE="address;undefined" -DCMAKE_BUILD_RPATH='$ORIGIN/lib'
# shellcheck disable=SC2086  # the list is meant to split into targets
cmake --build "$BUILD" -j "${JOBS:-$(nproc)}" --target $FUZZERS

if [ -n "$OUT" ]; then
  mkdir -p "$OUT"
  OUT=$(cd "$OUT" && pwd)
  mkdir -p "$OUT/lib"
  for f in $FUZZERS; do
    cp "$BUILD/fuzz/$f" "$OUT/$f"
    rm -f "$OUT/${f}_seed_corpus.zip"
    (cd "$SRC/fuzz/corpus/$f" && zip -q -r "$OUT/${f}_seed_corpus.zip" .)
    ldd "$OUT/$f" | awk '/libsqlite3|libutf8proc/ { print $3 }' | while read -r lib; do
      [ "$lib" = "$OUT/lib/$(basename "$lib")" ] || cp -L "$lib" "$OUT/lib/"
    done
  done
fi

#!/bin/bash -eu
# Builds the fuzzers into $OUT with the script `make fuzz` uses, so the continuous fuzzing
# runs the same targets with the same options as a local run; the seed corpora and the
# shared libraries the runner lacks go with them.
"$SRC/kelo/scripts/build-fuzzers.sh" "$WORK/build-fuzz" "$OUT"

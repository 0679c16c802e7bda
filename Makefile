# Entry points. `make demo` and `make check` are the two commands of the README.
#   make demo    install what is missing, build, and run the demo on a sample home
#   make check   install what is missing, check formatting, build and run every test: normal build
#                with gcc (with the bundle under Xvfb), then AddressSanitizer+UBSan build with
#                clang, then the concurrency tests under ThreadSanitizer (gcc)
#   make stress  the client-and-Finder stress program, STRESS_SECONDS per journal mode
#   make stress-locks  a client's LOCK_SECONDS exclusive transactions against a Finder reader
#   make fuzz    every fuzz target for FUZZ_SECONDS each (clang, libFuzzer)
#   make bench   build and run the benchmarks (not part of check)
#   make package one Debian package per component (tool, each face, emblems) in $(BUILD)
#   make measure-faces  the Nautilus face's cost per item and its main loop under a lock
#   make show-dolphin, show-nautilus, show-nemo, show-caja  the demo home in that file manager (its face
#                installed: packages of `make package`, or cmake --install)
#   make preview draw the demo home through the real bundle into docs/preview.png
#   make format  rewrite sources with clang-format; make format-check only checks

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS   ?= 60
STRESS_SECONDS ?= 120
LOCK_SECONDS   ?= 10
BENCH_BUILD ?= build-bench
BENCH_REPS  ?= 5
# Debian's interpreter, which has python3-matplotlib (a pyenv python3 on PATH may not).
PYTHON      ?= $(shell test -x /usr/bin/python3 && echo /usr/bin/python3 || echo python3)
JOBS       ?= $(shell nproc)
# The sanitizer build that clang compiles, so every check builds with both compilers.
ASAN_CC    ?= clang
ASAN_CXX   ?= clang++
CMAKE_GEN  := -G Ninja

.PHONY: package deps configure demo measure-faces show-dolphin show-nautilus show-nemo show-caja check test test-asan asan-configure test-tsan stress stress-locks fuzz bench format format-check clean preview

deps:
	@./scripts/install-deps.sh check

# The full configuration, run every time: cheap when nothing changed, and it turns a folder
# that `make demo` configured (tool only) into the full one.
configure:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DKELO_BUILD_BUNDLE=ON -DKELO_BUILD_TESTS=ON

# Configured on every run: a folder configured earlier with another compiler is configured
# afresh for this one (CMake starts a new cache when the compiler changes).
asan-configure:
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_C_COMPILER=$(ASAN_CC) -DCMAKE_CXX_COMPILER=$(ASAN_CXX) \
	  -DKELO_SANITIZE="address;undefined"

# Only what the demo needs: the tool, without tests, GNUstep or X. A folder configured in
# full already is used as it is.
demo:
	@./scripts/install-deps.sh demo
	test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) $(CMAKE_GEN) -DKELO_BUILD_TESTS=OFF
	cmake --build $(BUILD) -j $(JOBS) --target kelo-overlay
	$(BUILD)/cli/kelo-overlay demo

# The Nautilus face's per-item cost and its main loop under a client's 10 s lock, on a home
# with 10,000 files (docs/performance.md).
measure-faces: configure
	cmake --build $(BUILD) -j $(JOBS) --target face-measure
	rm -rf $(BUILD)/measure-home && mkdir -p $(BUILD)/measure-home
	$(BUILD)/tests/faces/face-measure make-home $(BUILD)/measure-home 10000
	$(BUILD)/tests/faces/face-measure cost $(BUILD)/measure-home
	$(BUILD)/tests/faces/face-measure stall $(BUILD)/measure-home 10

show-dolphin show-nautilus show-nemo show-caja:
	test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) $(CMAKE_GEN) -DKELO_BUILD_TESTS=OFF
	cmake --build $(BUILD) -j $(JOBS) --target kelo-overlay
	./scripts/show-demo.sh $(@:show-%=%) $(BUILD)/cli/kelo-overlay

check: deps
	$(MAKE) --no-print-directory format-check
	$(MAKE) --no-print-directory test
	$(MAKE) --no-print-directory test-asan
	$(MAKE) --no-print-directory test-tsan

test: configure
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

test-asan: asan-configure
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) -j $(JOBS) --output-on-failure

# ThreadSanitizer over the tests that run threads or processes against each other, those
# labelled "concurrency" (cmake/KeloTest.cmake): only their programs are built.
$(TSAN_BUILD)/build.ninja:
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DKELO_SANITIZE=thread

test-tsan: $(TSAN_BUILD)/build.ninja
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target kelo_concurrency_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN_BUILD) -j $(JOBS) --output-on-failure -L concurrency

stress: configure
	cmake --build $(BUILD) -j $(JOBS) --target kelo-stress
	$(BUILD)/tests/stress/kelo-stress --journal delete --seconds $(STRESS_SECONDS)
	$(BUILD)/tests/stress/kelo-stress --journal wal --seconds $(STRESS_SECONDS)

# Exits non-zero when a target is missed: longest icon, time spent waiting, badges back
# after the commit. In WAL mode the exclusive transaction does not block the reader.
stress-locks: configure
	cmake --build $(BUILD) -j $(JOBS) --target kelo-stress
	$(BUILD)/tests/stress/kelo-stress --lock-holder --journal delete --hold $(LOCK_SECONDS)
	$(BUILD)/tests/stress/kelo-stress --lock-holder --journal wal --hold $(LOCK_SECONDS)

# New inputs go to $(FUZZ_BUILD)/corpus/<target>; fuzz/corpus/<target> stays the small
# committed seed set that the tests replay. A crash stops with its input saved as
# $(FUZZ_BUILD)/<target>-crash-*. The build is scripts/build-fuzzers.sh, the same script the
# continuous fuzzing in CI builds with (.clusterfuzzlite/).
FUZZERS := $(shell ./scripts/build-fuzzers.sh --list)

fuzz: deps
	JOBS=$(JOBS) ./scripts/build-fuzzers.sh $(FUZZ_BUILD)
	for f in $(FUZZERS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$f && \
	  $(FUZZ_BUILD)/fuzz/$$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/$$f- $(FUZZ_BUILD)/corpus/$$f fuzz/corpus/$$f || exit 1; \
	done

# The data (up to a million entries) is generated once into $(BENCH_BUILD)/bench-cache, or
# $$KELO_BENCH_CACHE; the figures go to docs/performance.json and docs/performance.png.
bench: deps
	cmake -S . -B $(BENCH_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	  -DKELO_BUILD_BENCH=ON -DKELO_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target drawing_path_bench
	$(BENCH_BUILD)/bench/drawing_path_bench --benchmark_repetitions=$(BENCH_REPS) \
	  --benchmark_enable_random_interleaving=true \
	  --benchmark_out=docs/performance.json --benchmark_out_format=json
	$(PYTHON) scripts/plot-bench.py docs/performance.json docs/performance.png

# Draws the demo home through the real bundle in the GNUstep test host (under Xvfb).
preview: deps configure
	cmake --build $(BUILD) -j $(JOBS) --target preview
	cp $(BUILD)/preview.png docs/preview.png

format: configure
	cmake --build $(BUILD) --target format

format-check: configure
	cmake --build $(BUILD) --target format-check
	@echo "format-check: every source is formatted"

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD)

package: configure
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && cpack

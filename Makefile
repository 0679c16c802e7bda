# Entry points. `make demo` and `make check` are the two commands of the README.
#   make demo    install what is missing, build, and run the demo on a sample home
#   make check   install what is missing, build and run every test: normal build
#                (with the bundle under Xvfb), then AddressSanitizer+UBSan build
#   make bench   build and run the benchmarks (not part of check)
#   make format  rewrite sources with clang-format; make format-check only checks

BUILD      ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
BENCH_REPS  ?= 5
# Debian's interpreter, which has python3-matplotlib (a pyenv python3 on PATH may not).
PYTHON      ?= $(shell test -x /usr/bin/python3 && echo /usr/bin/python3 || echo python3)
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: deps demo check test test-asan bench format format-check clean

deps:
	@./tools/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DKELO_BUILD_BUNDLE=ON

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DKELO_SANITIZE="address;undefined"

demo: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target kelo-overlay
	$(BUILD)/tools/kelo-overlay demo

check: deps
	$(MAKE) --no-print-directory test
	$(MAKE) --no-print-directory test-asan

test: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

test-asan: $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) -j $(JOBS) --output-on-failure

# The data (up to a million entries) is generated once into $(BENCH_BUILD)/bench-cache, or
# $$KELO_BENCH_CACHE; the figures go to docs/bench-results.json and docs/performance.png.
bench: deps
	cmake -S . -B $(BENCH_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	  -DKELO_BUILD_BENCH=ON -DKELO_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target drawing_path_bench
	$(BENCH_BUILD)/bench/drawing_path_bench --benchmark_repetitions=$(BENCH_REPS) \
	  --benchmark_enable_random_interleaving=true \
	  --benchmark_out=docs/bench-results.json --benchmark_out_format=json
	$(PYTHON) tools/plot-bench.py docs/bench-results.json docs/performance.png

format: $(BUILD)/build.ninja
	cmake --build $(BUILD) --target format

format-check: $(BUILD)/build.ninja
	cmake --build $(BUILD) --target format-check

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

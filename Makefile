# Thin wrapper over CMake. `make test` is what CI runs.
SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all setup configure build test demo clean bench bench-build bench-callgrind

all: build

setup:
	./scripts/setup.sh

configure:
	cmake -S . -B $(BUILD) -DAT_WERROR=ON $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: setup build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Builds, then runs a short AT session against the demo host over UDP on
# this machine (ports 17100/17101; see README, "The demo").
demo: setup build
	./examples/run_demo.sh $(BUILD)

# Benchmarks: a release build of their own; see README.md, "Benchmarks".
BENCH_BUILD ?= build-bench
BENCH_REPETITIONS ?= 5
BENCH_ROUND_TRIPS ?= 2000

bench-build: setup
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DAT_BUILD_TESTS=OFF -DAT_BUILD_BENCH=ON \
		-DAT_BUILD_EXAMPLES=OFF $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS)

bench: bench-build
	./bench/run.sh $(BENCH_BUILD) $(BENCH_REPETITIONS)

bench-callgrind: bench-build
	./bench/callgrind.sh $(BENCH_BUILD) $(BENCH_ROUND_TRIPS)

clean:
	rm -rf $(BUILD) $(BENCH_BUILD)

# Fuzzing (clang-14 with libclang-rt-14-dev; scripts/setup_fuzz.sh installs
# them). `make fuzz` runs every target FUZZ_SECONDS (default 60) on a working
# copy of its seed corpus; `make fuzz-ci` runs each FUZZ_CI_SECONDS (default
# 10). New inputs go to build-fuzz/corpus/<name>, never into fuzz/corpus.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_CI_SECONDS ?= 10
FUZZ_TARGETS = $(patsubst fuzz/%_fuzz.cpp,%,$(wildcard fuzz/*_fuzz.cpp))

.PHONY: fuzz-build fuzz fuzz-ci

fuzz-build:
	./scripts/setup_fuzz.sh
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAT_BUILD_FUZZ=ON -DAT_BUILD_TESTS=OFF -DAT_BUILD_EXAMPLES=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	./scripts/run_fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-ci: fuzz-build
	./scripts/run_fuzz.sh $(FUZZ_BUILD) $(FUZZ_CI_SECONDS) $(FUZZ_TARGETS)

# Soak: the stress test of every transport, SOAK_SECONDS each (default 200:
# ten minutes in all), with its figures (cycles, calls, bytes, threads,
# descriptors, heap blocks and semaphores before and after).
SOAK_SECONDS ?= 200
.PHONY: soak
soak: build
	AT_STRESS_SECONDS=$(SOAK_SECONDS) $(BUILD)/tests/stress_transport_stress_test 2>&1 | grep -v '^xassert'; \
	    exit $${PIPESTATUS[0]}

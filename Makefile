# Thin wrapper over CMake. `make check` runs every gate that CI runs; each gate
# also runs alone, in its own build directory:
#   make test         host build, whole test suite            (build/)
#   make test-asan    ASan + UBSan build, whole test suite    (build-asan/)
#   make test-tsan    TSan build, whole test suite            (build-tsan/)
#   make test-armhf   32-bit ARM build, tests under qemu-arm  (build-armhf/)
#   make test-arm64   64-bit ARM build, tests under qemu-aarch64 (build-arm64/)
#   make lint         cppcheck over the library sources
#   make fuzz-ci      each fuzz target for a short time       (build-fuzz/)
#   make model-check  spin over the serial manager's stop and pause protocol (build-model/)
#   make test-clang   clang build (-Werror, -Wthread-safety), whole test suite (build-clang/)
#   make abi-check    the library's ABI on x86_64, armhf, arm64 against abi/*.abi (build-abi/)
# Not part of `make check` (slow):
#   make model-check-deep  the protocol model with larger bounds (build-model-deep/)
#   make faults       each planted fault in faults/ must fail the tests (build-faults/)
SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# Extra ctest arguments, e.g. CTEST_FLAGS='-L buffer' or CTEST_FLAGS='-R uart'.
CTEST_FLAGS ?=
CTEST = ctest --output-on-failure --no-tests=error -j $(JOBS) $(CTEST_FLAGS)

# Sanitizer run-time options: stop at the first finding, report leaks. UBSan
# is also built not to recover (cmake/AtSanitizers.cmake). No suppression
# file is used: each finding is a fault to fix.
ASAN_ENV = ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
           UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# The slow gates (sanitizers, emulation) run 5 to 40 times slower than the
# host. Tests with a size knob get a smaller load there; the host gate runs
# the full size. CBUF_STREAM_BYTES: bytes each circular-buffer stream test
# pushes through (3 MiB by default, with a 90 s in-test deadline).
# RC_PARAMS: RapidCheck's settings; max_success is the number of random cases
# a property test runs (the circular-buffer model test runs 1000 on the host).
# AT_STRESS_CYCLES: random cycles of each transport's stress test (1000).
SLOW_ENV = CBUF_STREAM_BYTES=524288 RC_PARAMS=max_success=200 AT_STRESS_CYCLES=200
# ThreadSanitizer needs its fixed address layout; with the kernel's full
# mmap randomisation (vm.mmap_rnd_bits above 28) its run time aborts at start.
# setarch -R turns randomisation off for ctest and every test it starts.
TSAN_RUN = setarch $(shell uname -m) -R


.PHONY: all setup configure build test demo clean bench bench-build bench-callgrind \
        check test-asan test-tsan test-armhf test-arm64 lint

all: build

setup:
	./scripts/setup.sh

configure:
	cmake -S . -B $(BUILD) -DAT_WERROR=ON $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: setup build
	$(CTEST) --test-dir $(BUILD)

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

# One rule per extra build directory: $(1) build directory, $(2) CMake flags,
# $(3) what runs ctest (environment, setarch), $(4) extra ctest arguments.
define gate
	cmake -S . -B $(1) -DAT_WERROR=ON $(2) $(CMAKE_FLAGS)
	cmake --build $(1) -j $(JOBS)
	$(3) $(CTEST) --test-dir $(1) $(4)
endef

test-asan:
	./scripts/setup.sh
	$(call gate,build-asan,-DAT_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo,env $(SLOW_ENV) $(ASAN_ENV))

test-tsan:
	./scripts/setup.sh
	$(call gate,build-tsan,-DAT_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo,env $(SLOW_ENV) $(TSAN_ENV) $(TSAN_RUN))

# The ARM gates run the whole suite under qemu-user except the test programs
# labelled mountns (they build a private mount namespace, which a process
# under qemu cannot) and procsyscall (they read /proc/self/task/*/syscall,
# which shows the host's system call numbers under qemu). See
# cmake/AtTestLabels.cmake; the host and sanitizer gates run them.
ARM_CTEST_FLAGS = -LE '^(mountns|procsyscall)$$'

test-armhf:
	./scripts/setup.sh armhf
	./scripts/qemu-binfmt.sh arm
	$(call gate,build-armhf,-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake,env $(SLOW_ENV),$(ARM_CTEST_FLAGS))

test-arm64:
	./scripts/setup.sh arm64
	./scripts/qemu-binfmt.sh aarch64
	$(call gate,build-arm64,-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake,env $(SLOW_ENV),$(ARM_CTEST_FLAGS))

lint:
	./scripts/setup.sh lint
	./scripts/lint.sh

# The serial manager's start / pause / resume / replace / stop protocol, as a
# model for spin, searched over every interleaving within small bounds; the
# variants that break the protocol on purpose must each be caught. See
# model/README.md. The tags that tie model steps to code lines must match,
# and both checkers test themselves. MODEL_ROUNDS and MODEL_BLOCKS raise the
# bounds; model-check-deep does so (not part of check: it takes far longer).
.PHONY: model-check model-check-deep
model-check:
	./scripts/setup.sh model
	./model/tags.sh
	./model/tags.sh --selftest
	./model/check.sh build-model

DEEP_ROUNDS ?= 3
DEEP_BLOCKS ?= 2
DEEP_ACKS ?= 6
DEEP_MEMLIM ?= 16384
model-check-deep:
	./scripts/setup.sh model
	MODEL_ROUNDS=$(DEEP_ROUNDS) MODEL_BLOCKS=$(DEEP_BLOCKS) MODEL_ACK_SLOTS=$(DEEP_ACKS) MODEL_MEMLIM=$(DEEP_MEMLIM) ./model/check.sh build-model-deep

# clang, the device's compiler: the whole suite, with the library's lock
# annotations checked (-Wthread-safety, cmake/AtWarnings.cmake).
.PHONY: test-clang
test-clang:
	./scripts/setup.sh clang
	$(call gate,build-clang,-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)

# The ABI that closed hosts were built against: abidw dumps of libat_stubs.so
# (library target only, each architecture in build-abi/<arch>/) compared with
# abi/<arch>.abi by abidiff; any change fails. abi-update rewrites the
# baselines for a change that is meant (README, "ABI").
.PHONY: abi-check abi-update
abi-check:
	./scripts/setup.sh abi armhf arm64
	JOBS=$(JOBS) ./abi/check.sh check

abi-update:
	./scripts/setup.sh abi armhf arm64
	JOBS=$(JOBS) ./abi/check.sh update

# Everything CI runs, one gate after the other (each uses all cores itself).
check: test test-asan test-tsan test-armhf test-arm64 test-clang abi-check lint fuzz-ci model-check

clean:
	rm -rf $(BUILD) $(BENCH_BUILD) build-asan build-tsan build-armhf build-arm64 build-model build-model-deep build-clang build-abi

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

# Planted faults: each faults/*.patch is applied to a scratch copy of the
# tree (build-faults/src), the tests it names are built and run, and they
# must fail. FAULTS selects patches, e.g. FAULTS='faults/cbuffer_*.patch'.
FAULTS ?= $(wildcard faults/*.patch)
.PHONY: faults
faults:
	JOBS=$(JOBS) ./scripts/faults.sh build-faults $(FAULTS)

# Soak: the stress test of every transport (fake driver, in-process channel,
# UDP, UART tty, USB tty), SOAK_CYCLES random cycles each (default 20000).
SOAK_CYCLES ?= 20000
.PHONY: soak
soak: build
	AT_STRESS_CYCLES=$(SOAK_CYCLES) $(BUILD)/tests/stress_transport_stress_test && \
	    AT_STRESS_CYCLES=$(SOAK_CYCLES) $(BUILD)/tests/stress_tty_stress_test

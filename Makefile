# Entry points for users and CI. Every target installs what is missing first.
.PHONY: all deps build run test bench fuzz clean

EXAMPLE ?= examples/mixed.json
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)

all: build

deps:
	@scripts/install-deps

build: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

run: build
	build/bin/vorn-tests $(EXAMPLE)

test: build
	ctest --preset release -j $(JOBS)
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

bench: build
	bench/run
	build/bin/bench-scheduler
	bench/command-suite

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	fuzz/run $(FUZZ_SECONDS)

clean:
	rm -rf build build-debug build-asan build-fuzz

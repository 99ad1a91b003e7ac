# Quick start: `make demo` runs the demo server, `make test` builds everything and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test demo bench asan tsan clean

all: build

deps:
	@tools/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	cp examples/demo.conf $(BUILD)/demo.conf
	$(BUILD)/examples/korvel_demo --config $(BUILD)/demo.conf --seconds 25 --time-scale 6 --table-every 5

bench: build
	$(BUILD)/bench/korvel_bench

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DKORVEL_SANITIZE=address -DKORVEL_BENCH=OFF"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DKORVEL_SANITIZE=thread -DKORVEL_BENCH=OFF"

clean:
	rm -rf build build-asan build-tsan

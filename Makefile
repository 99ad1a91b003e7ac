# Quick start: `make demo` builds the demo server alone and runs it; `make test` builds
# everything and runs every test. Missing Debian packages are installed first (as root).
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
PREFIX ?= /usr/local

.PHONY: all build test demo bench asan tsan release install install-check clean

all: build

# The whole tree: libraries, tools, tests and benchmarks.
build:
	@tools/install-deps.sh test
	cmake -S . -B $(BUILD) -DKORVEL_TESTS=ON -DKORVEL_BENCH=ON -DKORVEL_TOOLS=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The demo server and the libraries it links, nothing else. A build folder configured before
# keeps its options (the demo needs none of the test packages either way).
demo:
	@tools/install-deps.sh demo
	@if [ -f $(BUILD)/CMakeCache.txt ]; then \
	  cmake -S . -B $(BUILD) $(CMAKE_FLAGS); \
	else \
	  cmake -S . -B $(BUILD) -DKORVEL_TESTS=OFF -DKORVEL_BENCH=OFF $(CMAKE_FLAGS); \
	fi
	cmake --build $(BUILD) -j $(JOBS) --target korvel_demo
	cp examples/demo.conf $(BUILD)/demo.conf
	rm -rf $(BUILD)/devices && cp -r examples/devices $(BUILD)/devices
	$(BUILD)/examples/korvel_demo --config $(BUILD)/demo.conf --seconds 25 --time-scale 6 --table-every 5

bench: build
	$(BUILD)/bench/korvel_bench
	$(BUILD)/bench/startup_bench

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DKORVEL_SANITIZE=address -DKORVEL_BENCH=OFF $(CMAKE_FLAGS)"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DKORVEL_SANITIZE=thread -DKORVEL_BENCH=OFF $(CMAKE_FLAGS)"

release:
	$(MAKE) test BUILD=build-release CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)"

# Libraries, headers, programs, docs, CMake package and pkg-config modules under PREFIX.
install:
	cmake --install $(BUILD) --prefix $(PREFIX)

# Installs BUILD into a temporary prefix and builds small servers against it.
install-check:
	@tools/install-deps.sh ci
	tests/install/check-install.sh $(BUILD)

clean:
	rm -rf build build-asan build-tsan build-release

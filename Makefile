# Front door: `make demo` captures from both simulated cameras, `make test`
# builds everything and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all configure build test demo package-check cross-test clean

all: build

configure: $(BUILD)/CMakeCache.txt

$(BUILD)/CMakeCache.txt:
	./.ci/deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	rm -rf captures
	BOARDSIM_APP_LOG=captures.log $(BUILD)/tools/boardcam-capture --camera both --out captures
	@echo "Frames written to $(CURDIR)/captures (application log: $(CURDIR)/captures.log)"

# Install, find_package and pkg-config clients, and an SDK-mode build.
package-check: build
	tests/package/check.sh $(BUILD) $(BUILD)-package

# Cross-build for the AArch64 board and run every test under qemu-aarch64.
CROSS_BUILD ?= build-aarch64
cross-test:
	./.ci/cross-deps
	cmake -S . -B $(CROSS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake $(CMAKE_FLAGS)
	cmake --build $(CROSS_BUILD) -j $(JOBS)
	ctest --test-dir $(CROSS_BUILD) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(BUILD)-package $(CROSS_BUILD) captures captures.log

# Front door: `make demo` captures from both simulated cameras, `make test`
# builds everything and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all configure build test demo clean

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

clean:
	rm -rf $(BUILD) captures captures.log

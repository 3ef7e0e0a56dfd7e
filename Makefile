# Front door: `make demo` captures from both simulated cameras, `make test`
# builds everything and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Tests mostly wait (for frames at the cameras' rates, for clients, for
# timers): two per core keep the machine about half busy.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))
CMAKE_FLAGS ?=

.PHONY: all configure build test demo package-check cross-build cross-test sanitize-build sanitize tsan-build tsan \
        valgrind fuzz soak soak-serve stress-test bench bench-two-rates bench-serve bench-record bench-share bench-v4l2 bench-slowlink deb \
        deb-build deb-check clean

all: build

configure: $(BUILD)/CMakeCache.txt

$(BUILD)/CMakeCache.txt:
	./.ci/deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(TEST_JOBS)

# The library's per-frame reports go to captures/boardcam.log, not the screen.
demo: build
	@rm -rf captures
	@BOARDSIM_APP_LOG=captures.log $(BUILD)/tools/boardcam-capture --camera both --out captures
	@echo "Recording both cameras side by side for 5 s through GStreamer into captures/both.webm..."
	@GST_PLUGIN_PATH=$(abspath $(BUILD))/gst BOARDSIM_APP_LOG=captures.log \
	  tools/record-both-cameras.sh captures/both.webm 5 >> captures/boardcam.log
	@BOARDSIM_APP_LOG=captures.log $(BUILD)/tools/boardcam-capture --camera both --pattern scene --size 1280x720 \
	  --frames 1 --out captures/scene 2>/dev/null
	@mv captures/scene/cam0_0000.png captures/scene0.png && mv captures/scene/cam1_0000.png captures/scene1.png
	@rm -rf captures/scene
	@echo "One frame of the simulated scene per camera: captures/scene0.png and captures/scene1.png"
	@echo "Frames in captures/; the library's reports in captures/boardcam.log, the application log in captures.log"

# The mt, threads and server tests STRESS_RUNS times with both cores kept
# busy by another process.
STRESS_RUNS ?= 5
stress-test: build
	tests/stress/run.sh $(BUILD) $(STRESS_RUNS)

# boardcam-serve as a service: SOAK_STOPS stops with every kind of client,
# then SOAK_SECONDS of changing clients, camera faults and restarts.
PYTHON ?= /usr/bin/python3
SOAK_STOPS ?= 50
SOAK_SECONDS ?= 600
soak-serve: build
	BOARDCAM_SERVE=$(abspath $(BUILD))/tools/boardcam-serve BOARDCAM_TEST_GST_PLUGIN_DIR=$(abspath $(BUILD))/gst \
	  $(PYTHON) tests/serve/soak_serve.py --stops $(SOAK_STOPS) --seconds $(SOAK_SECONDS)

# Install, find_package and pkg-config clients, and an SDK-mode build.
package-check: build
	tests/package/check.sh $(BUILD) $(BUILD)-package

# Debian packages for this machine, or for the board with ARCH=arm64, in build-deb/.
HOST_ARCH := $(shell dpkg --print-architecture)
# arm64 libraries that cannot be installed beside the PC's are unpacked here.
CROSS_EXTRA_ROOT ?= $(abspath build-aarch64-extra-root)
ARCH ?= $(HOST_ARCH)
DEB_DIR ?= build-deb
CROSS_DEB = $(filter-out $(HOST_ARCH),$(ARCH))
deb:
	./.ci/deps deb
	$(if $(CROSS_DEB),./.ci/cross-deps $(CROSS_EXTRA_ROOT))
	BOARDCAM_CROSS_EXTRA_ROOT=$(if $(CROSS_DEB),$(CROSS_EXTRA_ROOT)) \
	  tests/package/build_debs.sh $(DEB_DIR)$(if $(CROSS_DEB),-$(ARCH)) $(ARCH)

# The packages of both architectures, built (deb-build) and checked: lintian,
# apt install, clients, purge.
deb-build:
	$(MAKE) deb DEB_DIR=$(DEB_DIR)
	$(MAKE) deb DEB_DIR=$(DEB_DIR) ARCH=arm64
# DEB_PREBUILT=1: check the packages deb-build made before.
deb-check: $(if $(DEB_PREBUILT),,deb-build)
	tests/package/check_debs.sh $(DEB_DIR) $(DEB_DIR)-arm64

# Cross-build for the AArch64 board (cross-build) and run every test under
# qemu-aarch64 (cross-test).
CROSS_BUILD ?= build-aarch64
cross-build:
	./.ci/cross-deps $(CROSS_EXTRA_ROOT)
	cmake -S . -B $(CROSS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake \
	      -DBOARDCAM_CROSS_EXTRA_ROOT=$(CROSS_EXTRA_ROOT) -DBOARDCAM_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(CROSS_BUILD) -j $(JOBS)
cross-test: cross-build
	ctest --test-dir $(CROSS_BUILD) --output-on-failure -j $(JOBS)

# The whole suite built with AddressSanitizer and UndefinedBehaviorSanitizer
# (sanitize-build) and run (sanitize); any report ends the test that caused
# it. Pages in Chromium are left out: the browser is not our code, and what
# the server does for them is covered by the WHEP and MJPEG tests, which run.
# Tests labelled "unsanitized" say in tests/ why they are left out.
SAN_BUILD ?= build-sanitize
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
sanitize-build:
	./.ci/deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS="$(SAN_FLAGS)" \
	      -DCMAKE_CXX_FLAGS="$(SAN_FLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(SAN_FLAGS)" \
	      -DCMAKE_SHARED_LINKER_FLAGS="$(SAN_FLAGS)" -DBOARDCAM_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(SAN_BUILD) -j $(JOBS)
sanitize: sanitize-build
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(TEST_JOBS) -LE 'browser|unsanitized'

# Every test that uses threads (label "threads"), with libboardcam-mt, the
# simulator, the plugin and the capture tool built with ThreadSanitizer
# (tsan-build) and run (tsan); any report fails the test. The tests that do
# not load GStreamer run with no suppression; the GStreamer ones with
# tests/tsan-gstreamer.supp, which says why each entry is there.
TSAN_BUILD ?= build-tsan
TSAN_FLAGS := -fsanitize=thread -fno-omit-frame-pointer
TSAN_RUN = TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 $(1)" \
           ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS)
tsan-build:
	./.ci/deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS="$(TSAN_FLAGS)" \
	      -DCMAKE_CXX_FLAGS="$(TSAN_FLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(TSAN_FLAGS)" \
	      -DCMAKE_SHARED_LINKER_FLAGS="$(TSAN_FLAGS)" -DBOARDCAM_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS)
tsan: tsan-build
	$(call TSAN_RUN,) -L threads -LE gstreamer
	$(call TSAN_RUN,suppressions=$(CURDIR)/tests/tsan-gstreamer.supp) -L threads -L gstreamer

# The library tests, and the GStreamer buffers that outlive their pipeline,
# under valgrind's memcheck: memory errors and definite or indirect leaks fail
# the test. GLib's own suppressions cover its type system's one-time
# allocations; nothing of boardcam's is suppressed.
VALGRIND_OPTIONS := --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
                    --show-leak-kinds=definite,indirect \
                    $(if $(wildcard /usr/share/glib-2.0/valgrind/glib.supp),--suppressions=/usr/share/glib-2.0/valgrind/glib.supp)
valgrind: build
	cd $(BUILD) && ctest -L 'library|memcheck' -T memcheck -j $(JOBS) --output-on-failure \
	  --overwrite MemoryCheckCommand=$$(command -v valgrind) \
	  --overwrite "MemoryCheckCommandOptions=$(VALGRIND_OPTIONS)"

# libFuzzer over the C interface, seeded from fuzz/corpus, for FUZZ_SECONDS.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_FLAGS := -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -fno-omit-frame-pointer
fuzz:
	./.ci/deps fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DBOARDCAM_BUILD_FUZZ=ON -DBOARDCAM_NO_UNDEFINED=OFF -DBOARDCAM_BUILD_TESTS=OFF -DBOARDCAM_BUILD_TOOLS=OFF \
	  -DCMAKE_C_FLAGS="$(FUZZ_FLAGS)" -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
	  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined"
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target call_sequence_fuzzer
	mkdir -p $(FUZZ_BUILD)/corpus
	# Device buffers go straight back to the C library, so that AddressSanitizer
	# sees any use of a frame after its release.
	BOARDSIM_PIMO_RECYCLE=0 $(FUZZ_BUILD)/fuzz/call_sequence_fuzzer -max_total_time=$(FUZZ_SECONDS) -max_len=2048 \
	  -print_final_stats=1 $(FUZZ_BUILD)/corpus fuzz/corpus

# 100,000 open/read/close cycles; device buffers and memory must stay flat.
soak: build
	$(BUILD)/bench/soak 100000

# The frame path against its floor: ratio table on standard error, JSON and plot in $(BUILD)/bench.
BENCH_ARGS ?= --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
              --benchmark_report_aggregates_only=true --benchmark_min_time=0.3
PLOT ?= $(BUILD)/bench/frame_path.png
BENCH_PYTHON_ENV = PYTHONPATH=$(CURDIR)/python BOARDCAM_LIBRARY=$(abspath $(BUILD))/src/libboardcam.so.1 \
                   BOARDCAM_MT_LIBRARY=$(abspath $(BUILD))/mt/libboardcam-mt.so.1 \
                   BOARDCAM_BENCH_BOARDSIM=$(abspath $(BUILD))/sim/libboardsim.so
bench: build
	BOARDCAM_BENCH_STDOUT=$(BUILD)/bench/library-stdout.log $(BUILD)/bench/frame_path_bench $(BENCH_ARGS) \
	  --benchmark_out=$(BUILD)/bench/results.json --benchmark_out_format=json
	bench/plot.sh $(BUILD)/bench/results.json $(PLOT)
	$(BENCH_PYTHON_ENV) /usr/bin/python3 bench/python_read.py --time $(BUILD)/bench/results.json
	$(BENCH_PYTHON_ENV) BOARDCAM_BENCH_PLUGIN_DIR=$(abspath $(BUILD))/gst BOARDCAM_BENCH_PYTHON=bench/python_read.py \
	  bench/count_instructions.sh $(BUILD)/bench/frame_path_count 20
	bench/capture_rates.sh $(BUILD)/tools/boardcam-capture 90
	$(BUILD)/bench/scene_render_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
	$(MAKE) --no-print-directory bench-two-rates
	$(MAKE) --no-print-directory bench-share
	$(MAKE) --no-print-directory bench-serve

# Two cameras at two rates: each consumer's achieved rates over TWO_RATES_SECONDS
# per mix, the process-wide lock's hold times, and stopping beside a slow camera.
TWO_RATES_SECONDS ?= 10
bench-two-rates: build
	$(BUILD)/bench/two_rates c $(TWO_RATES_SECONDS)
	$(BUILD)/bench/two_rates element $(TWO_RATES_SECONDS) 2>&1 | tail -n +3 >&2
	$(BENCH_PYTHON_ENV) /usr/bin/python3 bench/python_two_rates.py $(TWO_RATES_SECONDS)
	bench/capture_two_rates.sh $(BUILD)/tools/boardcam-capture $(TWO_RATES_SECONDS) >&2
	$(BUILD)/bench/two_rates shared $(TWO_RATES_SECONDS)
	$(BUILD)/bench/two_rates lock $(TWO_RATES_SECONDS)
	$(BUILD)/bench/two_rates stop 10

# A camera shared between processes at 1920x1080, 30 fps: the owner's CPU per
# frame with 0, 1 and 4 subscribers, copies per frame, subscriber latency.
SHARE_BENCH_SECONDS ?= 10
bench-share: build
	$(BUILD)/bench/share_bench $(SHARE_BENCH_SECONDS)

# A V4L2 program's CPU per frame through boardcamify against libboardcam-mt's.
bench-v4l2: build
	$(BUILD)/tools/boardcamify $(BUILD)/bench/v4l2_bench

# boardcam-serve on the scene: latency from sensor to decoded frame, time to
# first frame, CPU per camera and per added client.
SERVE_BENCH_SECONDS ?= 10
bench-serve: build
	/usr/bin/python3 bench/serve_bench.py $(BUILD)/tools/boardcam-serve $(abspath $(BUILD))/gst $(SERVE_BENCH_SECONDS)
	/usr/bin/python3 bench/webrtc_bench.py $(BUILD)/tools/boardcam-serve $(abspath $(BUILD))/gst $(SERVE_BENCH_SECONDS)

# One viewer of the page on a slow link (a network namespace behind tc tbf):
# decoded fps, freezes, loss, RTT, tier and recorded key frames per second on
# a free link, 1.5 Mbit/s, 1 Mbit/s, 600 kbit/s and with UDP blocked. Root.
SLOWLINK_SECONDS ?= 25
bench-slowlink: build
	/usr/bin/python3 bench/slowlink_bench.py $(BUILD)/tools/boardcam-serve $(abspath $(BUILD))/gst $(SLOWLINK_SECONDS)

# Recording: the CPU it adds, bytes per hour, a 10-minute export, kill -9's
# loss and 100 segment boundaries (about 7 minutes).
RECORD_BENCH_SECONDS ?= 10
bench-record: build
	/usr/bin/python3 bench/record_bench.py $(BUILD)/tools/boardcam-serve $(abspath $(BUILD))/gst $(RECORD_BENCH_SECONDS)

clean:
	rm -rf $(BUILD) $(BUILD)-package $(CROSS_BUILD) $(SAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(DEB_DIR) $(DEB_DIR)-arm64 captures captures.log

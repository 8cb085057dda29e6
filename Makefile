# Front door: make | make test | make sanitize | make tsan | make fuzz | make bench | make demo
PYTHON ?= /usr/bin/python3
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMIVEX_PYTHON=$(PYTHON)

.PHONY: all deps deps-cross test sanitize tsan fuzz cross-test kernel-test usb-kernel-test deb deb-test bench demo clean \
	abi-check

all: deps
	cmake -S . -B build $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

deps:
	@tools/install-deps.sh

test: all
	cd build && ctest --output-on-failure -j $(JOBS)

sanitize: deps
	cmake -S . -B build-asan $(CMAKE_FLAGS) -DLUMIVEX_SANITIZE=address
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

tsan: deps
	cmake -S . -B build-tsan $(CMAKE_FLAGS) -DLUMIVEX_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS) --target engine_tests engine_stress_tests csi_tests usb_sensor_tests usbcam_tests replay_tests
	cd build-tsan && ctest --output-on-failure -j $(JOBS) -L '^(engine|usb|usbcam)$$' -E '^usbcam_(lsusb|install)$$' \
		&& ctest --output-on-failure -R "CsiStress|Replay"

# The C++ suites built for aarch64 (the boards' processors) and run under
# qemu-aarch64, the NEON conversion path's exhaustive identity test included.
deps-cross:
	@tools/install-deps.sh --cross

# The aarch64 benchmarks are built too (build-aarch64/bench/, to be run on a
# board: docs/real-board.md) and run once here for a few iterations, to show
# they work; figures under emulation mean nothing.
QEMU_AARCH64 = qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib:/usr/lib/aarch64-linux-gnu

cross-test: deps-cross
	cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=tools/cmake/aarch64-linux-gnu.cmake \
		-DLUMIVEX_WITH_PYTHON=OFF -DLUMIVEX_WITH_BENCH=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-aarch64 -j $(JOBS)
	# (Tests that start programs through scripts or preload the virtual
	# hardware into them run in the host build only, and so do the replay
	# tests: their live runs at the camera's pace are more than emulation keeps up with;
	# so do range switches on a chunk-stream board, whose sub-frames, stamped as they
	# are decoded, group only when decoded within 4 ms of each other.)
	cd build-aarch64 && ctest --output-on-failure -j $(JOBS) -E 'usbcam_lsusb|usbcam_install|engine_example|lumivex_ls|vkernel_v4l2_ctl|lumivex_record|recording_python|Replay|UsbChunkStream'
	$(QEMU_AARCH64) build-aarch64/bench/lumivex_bench --benchmark_filter='Memcpy|Conversion/neon' \
		--benchmark_min_time=0.01

# The CSI back-end against a real Linux kernel's V4L2 stack (the vivid
# driver) in a virtual machine.
kernel-test: all
	@tools/install-deps.sh --kernel
	cmake --build build -j $(JOBS) --target vivid_scenario
	tools/kernel-test.sh build

# Debian packages (build-deb/ARCH/): make deb, or make deb ARCH=arm64 for the boards.
ARCH ?= $(shell dpkg --print-architecture)
deb:
	tools/make-deb.sh $(ARCH)

# The packages installed into a fresh Debian 12 root and used there.
deb-test: deb
	@tools/install-deps.sh debootstrap
	tools/deb-test.sh

# The USB library on a real Linux USB stack (Debian's libusb, dummy_hcd, our
# board model behind FunctionFS) in a virtual machine.
usb-kernel-test: all
	@tools/install-deps.sh --kernel
	cmake --build build -j $(JOBS) --target usb_scenario lumivex_ffs_board
	tools/usb-kernel-test.sh build

# The USB frame decoders, the configuration file parser, the recording reader
# and the lens file reader under libFuzzer (clang), FUZZ_SECONDS each.
FUZZ_SECONDS ?= 30
FUZZ_SOURCES = tests/usbcam/fuzz/decoder_fuzz.cpp usbcam/hx_usb_camera_lib.cpp usbcam/usb_camera_session.cpp \
	usbcam/device_session.cpp usbcam/frame_aligned_transfers.cpp \
	usbcam/vendor_requests.cpp usbcam/bulk_streaming.cpp usbcam/frame_decoding.cpp usbcam/control_scripts.cpp
fuzz: deps
	mkdir -p build-fuzz/corpus build-fuzz/config-corpus
	clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -Iusbcam/include -Iusbcam \
		$(FUZZ_SOURCES) $$(pkg-config --cflags --libs libusb-1.0 lua5.4) -o build-fuzz/decoder_fuzz
	build-fuzz/decoder_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=70000 -print_final_stats=1 build-fuzz/corpus
	clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -Iconfigparser/include \
		tests/configparser/fuzz/config_fuzz.cpp configparser/config_parser.cpp -o build-fuzz/config_fuzz
	cp -n configparser/examples/*.cfg build-fuzz/config-corpus/
	build-fuzz/config_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -close_fd_mask=2 -print_final_stats=1 \
		build-fuzz/config-corpus
	clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -Irecording \
		tests/recording/fuzz/recording_fuzz.cpp recording/recording.cpp -lz -o build-fuzz/recording_fuzz
	mkdir -p build-fuzz/recording-corpus
	build-fuzz/recording_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=400000 -rss_limit_mb=4096 \
		-print_final_stats=1 build-fuzz/recording-corpus tests/recording/fuzz/corpus
	clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -Imetric \
		tests/metric/fuzz/lens_fuzz.cpp metric/lens.cpp metric/lens_file.cpp -o build-fuzz/lens_fuzz
	mkdir -p build-fuzz/lens-corpus
	build-fuzz/lens_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -print_final_stats=1 \
		build-fuzz/lens-corpus tests/metric/fuzz/corpus

# The libraries' ABI against the one stored in abi/ (docs/packages.md).
abi-check: all
	@tools/install-deps.sh abigail-tools
	tools/abi-check.sh build

bench: all
	build/bench/lumivex_bench
	build/bench/lumivex_usb_bench
	build/bench/lumivex_recording_bench
	build/bench/lumivex_metric_bench
	/usr/bin/python3 bench/frame_latency.py

# Only what the demo runs: the Python module and the virtual hardware (the
# launcher is written at configure time), not the tests and benchmarks.
demo: deps
	cmake -S . -B build $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target LumivexDepthCamera lumivex_vkernel lumivex_vusb
	tools/demo.sh $(PYTHON)

clean:
	rm -rf build build-asan build-tsan build-fuzz build-aarch64 build-kernel build-usb-kernel build-deb

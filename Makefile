# Front door: make | make test | make sanitize | make tsan | make bench | make demo
PYTHON ?= /usr/bin/python3
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMIVEX_PYTHON=$(PYTHON)

.PHONY: all deps test sanitize tsan bench demo clean

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
	cmake --build build-tsan -j $(JOBS) --target engine_tests engine_stress_tests csi_tests
	cd build-tsan && ctest --output-on-failure -j $(JOBS) -L engine && ctest --output-on-failure -R CsiStress

bench: all
	build/bench/lumivex_bench

demo: all
	tools/demo.sh $(PYTHON)

clean:
	rm -rf build build-asan build-tsan

# Top-level entry points. CMake does the building; this file only sequences it.
JOBS ?= $(shell nproc)
CTEST_ARGS ?= --output-on-failure -j$(JOBS)

.PHONY: all deps build build32 test test-native test32 demo install bench fuzz test-asan test-tsan clean

all: build

deps:
	@bash tools/deps.sh

build/CMakeCache.txt:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps build/CMakeCache.txt
	cmake --build build -j$(JOBS)

build32/CMakeCache.txt:
	cmake -S . -B build32 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=cmake/i386.cmake

build32: deps build32/CMakeCache.txt
	cmake --build build32 -j$(JOBS)

test-native: build
	cd build && ctest $(CTEST_ARGS)

test32: build32
	cd build32 && ctest $(CTEST_ARGS)

# The native suite, then the same suite built for 32-bit x86.
test: test-native test32

clean:
	rm -rf build build32 build-asan build-tsan build-release build-fuzz

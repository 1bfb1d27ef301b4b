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

# One complete retrieval on sample clips, printed step by step (build/demo).
demo: build
	bash tools/demo/run_demo.sh build

# Installs the server under $(PREFIX)/kivrecorder; DESTDIR stages it elsewhere.
PREFIX ?= /opt
install: build
	cmake --install build --prefix $(PREFIX)

# Sanitizer builds (native only). Sanitizers replace malloc, so these builds do
# not link tcmalloc (the core's heap reading then reports "unavailable").
ASAN_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# Test targets and their build directories that run under ThreadSanitizer:
# event routing, lent threads and the scheduler (host), threads layer, reference
# counter, sync layer, plug-in worker loop and the end-to-end retrieval.
TSAN_TARGETS = CoreThreadsTest CoreUtilTest CoreHostTest synclayer_test plugin_test e2e_test
TSAN_DIRS = core/threads core/util core/host rimvaultpi/synclayer rimvaultpi/rimvaultpi tests/e2e

build-asan/CMakeCache.txt: | deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_SANITIZE=address,undefined

test-asan: build-asan/CMakeCache.txt
	@start=$$(date +%s); \
	cmake --build build-asan -j$(JOBS); rc=$$?; \
	if [ $$rc -eq 0 ]; then cd build-asan && $(ASAN_ENV) ctest $(CTEST_ARGS); rc=$$?; cd ..; fi; \
	echo "test-asan: $$(( $$(date +%s) - start )) s"; exit $$rc

build-tsan/CMakeCache.txt: | deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_SANITIZE=thread

test-tsan: build-tsan/CMakeCache.txt
	@start=$$(date +%s); \
	cmake --build build-tsan -j$(JOBS) --target $(TSAN_TARGETS); rc=$$?; \
	for d in $(TSAN_DIRS); do \
	  [ $$rc -eq 0 ] || break; \
	  $(TSAN_ENV) ctest --test-dir build-tsan/$$d $(CTEST_ARGS); rc=$$?; \
	done; \
	echo "test-tsan: $$(( $$(date +%s) - start )) s"; exit $$rc

# Fuzzing: clang 14 with libFuzzer, AddressSanitizer and UBSan; each target runs
# FUZZ_SECONDS on a copy of its committed seed corpus (see fuzz/run.sh).
FUZZ_SECONDS ?= 60
build-fuzz/CMakeCache.txt: | deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKIV_SANITIZE=address,undefined -DKIV_FUZZ=ON \
	  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link

fuzz: build-fuzz/CMakeCache.txt
	cmake --build build-fuzz -j$(JOBS) --target kiv_fuzz_targets
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash fuzz/run.sh build-fuzz

# Benchmarks: a Release build, then one table of medians (see bench/run.sh).
build-release/CMakeCache.txt: | deps
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release

bench: build-release/CMakeCache.txt
	cmake --build build-release -j$(JOBS) --target kiv_bench_all
	bash bench/run.sh build-release

clean:
	rm -rf build build32 build-asan build-tsan build-release build-fuzz

# Thin wrapper over the CMake presets.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build test bench demo install windows windows-test fuzz fuzz-run asan asan-test clean

all: build

build:
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

test: build
	ctest --preset release -j $(JOBS)

# Micro-benchmarks of decode, separation and encode; bench/split.sh times a whole split.
bench:
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS)
	./build-bench/bench/trackloom_micro_bench

# Only the program: the demo needs neither GoogleTest nor the tests.
demo:
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target trackloom
	./build/trackloom --demo

# The program into PREFIX/bin (default /usr/local/bin); DESTDIR stages it for a package.
PREFIX ?= /usr/local

install:
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target trackloom
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"

# Windows x86-64 cross-build (MinGW-w64); its tests run under Wine.
windows:
	cmake --preset windows >/dev/null
	cmake --build --preset windows -j $(JOBS)

# The outputs are compared with the Linux program's, so that is built too. The box test needs
# a display; without one it gets a virtual one.
WINDOWS_TEST_DISPLAY := $(if $(DISPLAY),,$(shell command -v xvfb-run >/dev/null 2>&1 && echo xvfb-run -a))

windows-test: build windows
	$(WINDOWS_TEST_DISPLAY) ctest --preset windows -j $(JOBS)

# Sanitized builds, each in its own directory. The fuzzer needs clang.
fuzz:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS) --target wav_fuzzer audio_fuzzer

# Fuzzes scratch copies of the seed corpora for FUZZ_SECONDS each (default 60): the WAV
# reader, then the decoders for the other formats.
fuzz-run: fuzz
	tests/fuzz/run.sh build-fuzz/wav_fuzzer $(or $(FUZZ_SECONDS),60)
	tests/fuzz/run.sh build-fuzz/audio_fuzzer $(or $(FUZZ_SECONDS),60) tests/fuzz/audio_corpus

asan:
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)

asan-test: asan
	ctest --preset asan -j $(JOBS)

clean:
	rm -rf build build-*

# Thin wrapper over the CMake presets.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build test demo clean

all: build

build:
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

test: build
	ctest --preset release -j $(JOBS)

demo: build
	./build/trackloom --demo

clean:
	rm -rf build build-*

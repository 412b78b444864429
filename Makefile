# vesk: `make test` sets up, builds and runs every test; `make demo` runs the
# main job end to end; `make bench` runs the benchmarks.
SHELL := /bin/bash
VENV_PY := $(CURDIR)/.venv/bin/python
JOBS ?= $(shell nproc)
CMAKE_COMMON := -DCMAKE_BUILD_TYPE=RelWithDebInfo
SANITIZER_BUILD := -DVESK_BUILD_PYTHON=OFF -DVESK_BUILD_BENCH=OFF

.PHONY: setup build test test-unit test-python test-asan test-tsan test-fuzz bench demo clean

setup:
	@scripts/setup.sh

build: setup
	cmake -S . -B build $(CMAKE_COMMON) -DPython3_EXECUTABLE=$(VENV_PY) >/dev/null
	cmake --build build -j$(JOBS)

test-unit: build
	ctest --test-dir build --output-on-failure -j$(JOBS)

test-python: build
	PYTHONPATH=build/python $(VENV_PY) -m pytest -q tests/python

test-asan: setup
	cmake -S . -B build-asan $(CMAKE_COMMON) $(SANITIZER_BUILD) -DVESK_SANITIZE=address,undefined >/dev/null
	cmake --build build-asan -j$(JOBS)
	ctest --test-dir build-asan --output-on-failure -j$(JOBS)

# The threaded code: the stand-in's stream workers and the pipelines.
test-tsan: setup
	cmake -S . -B build-tsan $(CMAKE_COMMON) $(SANITIZER_BUILD) -DVESK_SANITIZE=thread >/dev/null
	cmake --build build-tsan -j$(JOBS) --target vesk_standin_tests vesk_pipeline_tests
	ctest --test-dir build-tsan --output-on-failure -j$(JOBS) -R '^(standin|pipeline)\.'

# Coverage-guided fuzzers (clang, AddressSanitizer), a bounded time each.
test-fuzz: setup
	tests/fuzz/run.sh $(CURDIR)/build/fuzz

test: test-unit test-python test-asan test-tsan test-fuzz

bench: build
	build/bench_file_pipelines 4 $(CURDIR)/build
	build/bench_memory_restores
	build/bench_region_count 262144 $(CURDIR)/build

demo: build
	PYTHONPATH=build/python $(VENV_PY) -m vesk bench --size 2G --dir $(CURDIR)/build

clean:
	rm -rf build build-asan build-tsan

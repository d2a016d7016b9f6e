# One-command set-up: every target creates the virtualenv and builds as needed.
SHELL := /bin/bash

# CPython 3.12: a pyenv installation if there is one, else python3.12 on PATH.
PYTHON ?= $(firstword $(wildcard $(HOME)/.pyenv/versions/3.12*/bin/python3.12) $(shell command -v python3.12 2>/dev/null))
BUILD_DEPS := "scikit-build-core>=0.10" "numpy>=2" cmake ninja
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

# The compiler: make's default (g++, through CMake's c++) builds into .venv
# and build/. Any CXX given on the command line or in the environment, e.g.
# `make test CXX=clang++`, gets its own virtualenv (.venv-clang++) and CMake
# tree (build/clang++), so the builds of different compilers never mix. For
# Clang, Debian's clang and libomp-dev (its OpenMP runtime) are installed
# when missing.
ifeq ($(origin CXX),default)
COMPILER :=
VENV := .venv
BUILD_DIR_OPT :=
CXX_ENV :=
else
COMPILER := $(notdir $(firstword $(CXX)))
VENV := .venv-$(COMPILER)
BUILD_DIR_OPT := -Cbuild-dir=build/$(COMPILER)
CXX_ENV := CXX="$(CXX)"
endif
PY := $(VENV)/bin/python

.PHONY: all venv compiler build test bench bench-tiles demo clean

all: test

# Any virtualenv of this file: CPython 3.12 and the build dependencies.
%/.deps: pyproject.toml
	@test -n "$(PYTHON)" || { echo "CPython 3.12 not found (set PYTHON=/path/to/python3.12)"; exit 1; }
	$(PYTHON) -m venv $*
	$*/bin/python -m pip install --quiet --upgrade pip
	$*/bin/python -m pip install --quiet $(BUILD_DEPS)
	touch $@

venv: $(VENV)/.deps

compiler:
ifneq ($(filter clang%,$(COMPILER)),)
	@dpkg -s clang libomp-dev >/dev/null 2>&1 || \
	  { $(SUDO) apt-get update && $(SUDO) apt-get install -y clang libomp-dev; }
endif

# Incremental: scikit-build-core keeps its CMake tree under build/.
build: venv compiler
	$(CXX_ENV) $(PY) -m pip install --quiet --no-build-isolation $(BUILD_DIR_OPT) ".[test]"

# The vector sine is also checked natively, bit for bit against the C
# library's sin, and the sine check and the oracle tests of the remaps run
# again with glibc's SSE2 build of sin (which it picks on CPUs without FMA).
# Each compiler builds its own copy of the check.
SSE2_SIN := GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX,-AVX2,-FMA
SINE_CHECK := build/native/sine_check$(if $(COMPILER),-$(COMPILER))

#
# SUITE=focused runs the tests that the extra builds (sanitizers, Clang,
# baseline copies) exist for: exactness on every path, hostile input, the
# fuzzers and threads, with a fifth of the Hypothesis examples.
FOCUSED_TESTS := test_remap_exact.py test_remap1d_exact.py test_remap_vector_paths.py \
  test_remap_hostile.py test_exports_fuzz.py test_threads_and_leaks.py test_properties.py
SUITE ?= all
PYTEST_FILES := $(if $(filter focused,$(SUITE)),$(FOCUSED_TESTS))
PYTEST_ENV := $(if $(filter focused,$(SUITE)),TESSARO_EXAMPLES_SCALE=0.2)

test: build $(SINE_CHECK)
	$(SINE_CHECK)
	$(SSE2_SIN) $(SINE_CHECK)
	cd tests && $(PYTEST_ENV) ../$(VENV)/bin/python -m pytest -q $(PYTEST_FILES)
ifneq ($(SUITE),focused)
	cd tests && $(SSE2_SIN) ../$(VENV)/bin/python -m pytest -q test_remap_exact.py test_remap1d_exact.py
endif

# The kernels' compiler and flags (CMakeLists.txt, Release).
$(SINE_CHECK): tests/native/sine_check.cpp $(wildcard kernels/*.hpp)
	mkdir -p $(@D)
	$(CXX) -std=c++20 -O3 -DNDEBUG -ffp-contract=off -fno-math-errno -Wall -Wextra -Wno-psabi -I. $< -o $@

.PHONY: check-sine-long
check-sine-long: $(SINE_CHECK)
	$(SINE_CHECK) 1000000000
	$(SSE2_SIN) $(SINE_CHECK) 1000000000

# Side-by-side timings against OpenCV and NumPy; results in bench/results/.
bench: build
	$(PY) -m pip install --quiet --no-build-isolation ".[bench]"
	$(PY) bench/run.py

# tessaro.dask on a 2-worker LocalCluster: 8192x8192x3 against the in-memory
# call, zarr to zarr, and 16384x16384 with 512 MiB workers (several minutes).
bench-tiles: build
	$(PY) bench/run.py --tiles

# The picture gallery: installs the package with the `demo` extra
# (matplotlib, scikit-image, OpenCV), draws demo/out/*.png and prints a
# timing table against cv2.remap. The console script imports the installed
# package, not the sources in this folder.
demo: venv
	$(PY) -m pip install --quiet --no-build-isolation ".[demo]"
	$(VENV)/bin/tessaro-demo --out demo/out

clean:
	rm -rf build .venv .venv-*

# ---------------------------------------------------------------------------
# test-asan: the test suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer. Separate virtualenv and CMake tree, so the
# normal build (.venv, build/) is not touched. Any sanitizer report stops the
# run with a non-zero status.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python

.PHONY: test-asan
test-asan: $(ASAN_VENV)/.deps
	$(ASAN_PY) -m pip install --quiet --no-build-isolation \
	  -Ccmake.define.TESSARO_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo \
	  -Cbuild-dir=build/asan ".[test]"
	cd tests && $(PYTEST_ENV) ../tools/asan_env.sh ../$(ASAN_PY) -m pytest -q -p no:cacheprovider $(PYTEST_FILES)

# ---------------------------------------------------------------------------
# test-baseline: the suite (exactness tests included) against a build that
# holds only the baseline (portable) copies of the kernels
# (-DTESSARO_BASELINE=ON), the code every CPU without AVX2 and every other
# architecture runs. Own virtualenv and CMake tree; takes CXX like `make test`.
BASELINE_VENV := .venv-baseline$(if $(COMPILER),-$(COMPILER))
BASELINE_PY := $(BASELINE_VENV)/bin/python

.PHONY: test-baseline
test-baseline: $(BASELINE_VENV)/.deps compiler
	$(CXX_ENV) $(BASELINE_PY) -m pip install --quiet --no-build-isolation \
	  -Ccmake.define.TESSARO_BASELINE=ON -Cbuild-dir=build/baseline$(if $(COMPILER),-$(COMPILER)) ".[test]"
	cd tests && $(PYTEST_ENV) ../$(BASELINE_PY) -m pytest -q -p no:cacheprovider $(PYTEST_FILES)

# ---------------------------------------------------------------------------
# check-aarch64: the kernels on 64-bit ARM, where the portable vector code is
# the only copy. Cross-compiles tests/native/kernel_cases.cpp (no Python) and
# runs it under qemu-user; its per-case output hashes must equal those of the
# same driver built for x86-64 (AVX2 and baseline copies), bit for bit.
# Lanczos cases, which depend on the C library's sin, are checked in each
# process against the scalar formulas with that platform's sin instead.
# Then cross-compiles the three extension modules to objects, to prove that
# they compile; the host's Python and NumPy headers serve for that (LP64,
# little-endian on both), nothing is linked or loaded. Installs
# g++-aarch64-linux-gnu and qemu-user from Debian when missing.
NATIVE_DIR := build/native
NATIVE_FLAGS := -std=c++20 -O2 -ffp-contract=off -fno-math-errno -Wall -Wextra \
  -Wno-missing-field-initializers -I.
NATIVE_KERNELS := tests/native/kernel_cases.cpp
AARCH64_CXX := aarch64-linux-gnu-g++

.PHONY: check-aarch64
check-aarch64: venv
	@dpkg -s g++-aarch64-linux-gnu qemu-user >/dev/null 2>&1 || \
	  { $(SUDO) apt-get update && $(SUDO) apt-get install -y g++-aarch64-linux-gnu qemu-user; }
	mkdir -p $(NATIVE_DIR)
	g++ $(NATIVE_FLAGS) $(NATIVE_KERNELS) -o $(NATIVE_DIR)/kernel_cases-x86_64
	g++ $(NATIVE_FLAGS) -DTESSARO_FORCE_BASELINE $(NATIVE_KERNELS) \
	  -o $(NATIVE_DIR)/kernel_cases-x86_64-baseline
	$(AARCH64_CXX) $(NATIVE_FLAGS) -static $(NATIVE_KERNELS) \
	  -o $(NATIVE_DIR)/kernel_cases-aarch64
	$(NATIVE_DIR)/kernel_cases-x86_64 > $(NATIVE_DIR)/x86_64.txt
	$(NATIVE_DIR)/kernel_cases-x86_64-baseline > $(NATIVE_DIR)/x86_64-baseline.txt
	qemu-aarch64 $(NATIVE_DIR)/kernel_cases-aarch64 > $(NATIVE_DIR)/aarch64.txt
	tail -n 1 $(NATIVE_DIR)/aarch64.txt
	diff $(NATIVE_DIR)/x86_64.txt $(NATIVE_DIR)/x86_64-baseline.txt
	diff <(grep -v '^L' $(NATIVE_DIR)/x86_64.txt) <(grep -v '^L' $(NATIVE_DIR)/aarch64.txt)
	@echo "Lanczos cases with equal hashes on both: $$(comm -12 <(grep '^L' $(NATIVE_DIR)/x86_64.txt | sort) \
	  <(grep '^L' $(NATIVE_DIR)/aarch64.txt | sort) | wc -l) of $$(grep -c '^L' $(NATIVE_DIR)/aarch64.txt)"
	for m in _brisel _tovik _tovik_1d _warp; do \
	  $(AARCH64_CXX) $(NATIVE_FLAGS) -fopenmp -fPIC -c tessaro/cython/$$m.cpp -o $(NATIVE_DIR)/$$m-aarch64.o \
	    -I"$$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" \
	    -I"$$($(PY) -c 'import numpy; print(numpy.get_include())')" \
	    -DNPY_NO_DEPRECATED_API=NPY_1_25_API_VERSION -DNPY_TARGET_VERSION=NPY_1_25_API_VERSION || exit 1; \
	done
	file $(NATIVE_DIR)/*-aarch64.o
	@echo "check-aarch64: passed"

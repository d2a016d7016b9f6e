# One-command set-up: every target creates the virtualenv and builds as needed.
SHELL := /bin/bash

# CPython 3.12: a pyenv installation if there is one, else python3.12 on PATH.
PYTHON ?= $(firstword $(wildcard $(HOME)/.pyenv/versions/3.12*/bin/python3.12) $(shell command -v python3.12 2>/dev/null))
VENV := .venv
PY := $(VENV)/bin/python
BUILD_DEPS := "scikit-build-core>=0.10" "numpy>=2" cmake ninja

.PHONY: all venv build test bench demo clean

all: test

$(VENV)/.deps: pyproject.toml
	@test -n "$(PYTHON)" || { echo "CPython 3.12 not found (set PYTHON=/path/to/python3.12)"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet $(BUILD_DEPS)
	touch $@

venv: $(VENV)/.deps

# Incremental: scikit-build-core keeps its CMake tree under build/.
build: venv
	$(PY) -m pip install --quiet --no-build-isolation ".[test]"

# The vector sine is also checked natively, bit for bit against the C
# library's sin, and the sine check and the oracle tests of the remaps run
# again with glibc's SSE2 build of sin (which it picks on CPUs without FMA).
SSE2_SIN := GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX,-AVX2,-FMA

test: build build/native/sine_check
	build/native/sine_check
	$(SSE2_SIN) build/native/sine_check
	cd tests && ../$(VENV)/bin/python -m pytest -q
	cd tests && $(SSE2_SIN) ../$(VENV)/bin/python -m pytest -q test_remap_exact.py test_remap1d_exact.py

# The kernels' compiler and flags (CMakeLists.txt, Release).
build/native/sine_check: tests/native/sine_check.cpp $(wildcard kernels/*.hpp)
	mkdir -p $(@D)
	$(CXX) -std=c++20 -O3 -DNDEBUG -ffp-contract=off -fno-math-errno -Wall -Wextra -Wno-psabi -I. $< -o $@

.PHONY: check-sine-long
check-sine-long: build/native/sine_check
	build/native/sine_check 1000000000
	$(SSE2_SIN) build/native/sine_check 1000000000

# Side-by-side timings against OpenCV and NumPy; results in bench/results/.
bench: build
	$(PY) -m pip install --quiet --no-build-isolation ".[bench]"
	$(PY) bench/run.py

# The picture gallery: installs the package with the `demo` extra
# (matplotlib, scikit-image, OpenCV), draws demo/out/*.png and prints a
# timing table against cv2.remap. The console script imports the installed
# package, not the sources in this folder.
demo: venv
	$(PY) -m pip install --quiet --no-build-isolation ".[demo]"
	$(VENV)/bin/tessaro-demo --out demo/out

clean:
	rm -rf build $(VENV) .venv-asan

# ---------------------------------------------------------------------------
# test-asan: the test suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer. Separate virtualenv and CMake tree, so the
# normal build (.venv, build/) is not touched. Any sanitizer report stops the
# run with a non-zero status.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python

$(ASAN_VENV)/.deps: pyproject.toml
	@test -n "$(PYTHON)" || { echo "CPython 3.12 not found (set PYTHON=/path/to/python3.12)"; exit 1; }
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install --quiet --upgrade pip
	$(ASAN_PY) -m pip install --quiet $(BUILD_DEPS)
	touch $@

.PHONY: test-asan
test-asan: $(ASAN_VENV)/.deps
	$(ASAN_PY) -m pip install --quiet --no-build-isolation \
	  -Ccmake.define.TESSARO_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo \
	  -Cbuild-dir=build/asan ".[test]"
	cd tests && ../tools/asan_env.sh ../$(ASAN_PY) -m pytest -q -p no:cacheprovider

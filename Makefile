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

test: build
	cd tests && ../$(VENV)/bin/python -m pytest -q

bench: build
	$(PY) bench/run.py

demo:
	@echo "make demo: coming with the demo gallery"

clean:
	rm -rf build $(VENV)

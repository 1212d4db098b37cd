# make demo   set everything up and run the player on its test pattern
# make test   set everything up and run every test
# make bench  set everything up and run the benchmarks
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python

.PHONY: all system venv install demo test bench clean

all: install

system:
	@scripts/setup-system

$(PY): | system
	python3 -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# Build dependencies live in the venv so that rebuilds reuse build/.
venv: system $(PY)
	$(PY) -m pip install -q "scikit-build-core>=0.10" "pytest>=7" "hypothesis>=6" "mypy>=1.0"

install: venv
	$(PY) -m pip install -q --no-build-isolation ".[test]"

demo: install
	mkdir -p build && $(VENV)/bin/brilox-play --frames 90 --screenshot build/brilox-play.bmp

test: install
	$(PY) -m pytest -q tests

bench: install
	$(PY) bench/run.py

clean:
	rm -rf build $(VENV)

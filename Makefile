# make demo   set everything up and run the player on its test pattern
# make test   set everything up and run every test
# make bench  set everything up and run the benchmarks
# make docs   set everything up and build the API reference into build/docs
# make test-sanitize  build every module with AddressSanitizer and
#             UndefinedBehaviorSanitizer and run every test against that build
# make test-matrix  run the tests on each CPython from 3.8 to 3.13 that is
#             installed against classic SDL 1.2, on the oldest and newest
#             against sdl12-compat, and print a table of the results (noxfile.py:
#             the interpreters between run the native modules' tests alone;
#             MATRIX_ARGS=every: every test, sdl12-compat with every interpreter too)
# make wheel  build a self-contained manylinux wheel, with its own SDL 1.2 and
#             libass, for each CPython from 3.8 to 3.13 that pyenv has, into dist/
# make test-wheel  build the wheel of the venv's CPython, then run every test
#             but the real-time ones against it with the system's SDL libraries and libass
#             hidden (refusing a wheel of 8 MB or more), and check
#             cibuildwheel's configuration
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python

.PHONY: all system venv install demo test test-sanitize test-matrix bench docs wheel test-wheel clean

all: install

system:
	@scripts/setup-system

$(PY): | system
	python3 -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# Build dependencies live in the venv so that rebuilds reuse build/.
venv: system $(PY)
	$(PY) -m pip install -q "scikit-build-core>=0.10" "pytest>=7" "pytest-timeout>=2" "pytest-xdist>=3" "hypothesis>=6" "mypy>=1.0"

install: venv
	$(PY) -m pip install -q --no-build-isolation ".[test,video]"

demo: install
	mkdir -p build && $(VENV)/bin/brilox-play --frames 90 --screenshot build/brilox-play.bmp

# The suite runs in TEST_JOBS processes (pytest-xdist), the real-time tests
# one after another in one of them (tests/conftest.py's REAL_TIME), where the
# others' tests are their load.  Most of a run is spent waiting (clips played
# at their own pace, the X and sound servers, ffmpeg's references in other
# processes): the suite keeps two cores about half busy in two processes,
# so it runs in four.  The sanitized shards, each its own process to the end,
# are SANITIZE_JOBS.
TEST_JOBS ?= 4
SANITIZE_JOBS ?= 2
PARALLEL = -n $(TEST_JOBS) --dist loadgroup

test: install
	$(PY) -m pytest -q $(PARALLEL) tests

# The sanitized modules go to their own folder, ahead of the plain install on
# the interpreter's path.  The sanitizer runtime must be the first library in
# the process, so it is preloaded into every interpreter the tests start;
# programs that are not the interpreter (a compiler, an X server) are run
# without it (tests/sanitizer.py).  Any report fails the run: ASan and UBSan
# stop the process at the first error, LeakSanitizer fails it at exit.
# SDL's own allocations must fail as they would without the sanitizer
# (allocator_may_return_null).  numpy's import leaks by design: every
# interpreter imports it with leak detection off (tests/sanitize_site).
# pytest leaves the process's stderr alone
# (--capture=sys), so a report that stops the run is seen.  The suite is
# shared among SANITIZE_JOBS pytest processes (--shard), each to the end of its
# own, where LeakSanitizer checks it: pytest -n's workers end unheeded.
SANITIZE_SITE := build/sanitize-site
SANITIZE_RUNTIME = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
SANITIZE_ENV = BRILOX_SANITIZED=1 PYTHONPATH=$(SANITIZE_SITE):$(CURDIR)/tests/sanitize_site \
	PYTHONMALLOC=malloc \
	LD_PRELOAD="$(SANITIZE_RUNTIME)" \
	ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:strict_string_checks=1:detect_stack_use_after_return=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan-python.supp:print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# The real-time tests (tests/conftest.py's REAL_TIME): `make test` hears them
# on classic SDL and the matrix on sdl12-compat; the sanitizer and wheel runs
# leave them out, to keep a CI run short (and the sanitizers slow the
# player's sound and picture unevenly).
LEAVE_REAL_TIME = -m "not real_time"

test-sanitize: install
	$(PY) -m pip install -q --no-build-isolation -Ccmake.define.BRILOX_SANITIZE=ON \
		-Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build/sanitize \
		--target $(SANITIZE_SITE) --upgrade .
	$(PY) -c 'import sys; sys.path.insert(0, "tests"); from support import sdl; sdl.build_double()'
	$(SANITIZE_ENV) $(PY) -c 'import brilox.overlay, brilox.key, brilox.pinhold, sys; \
		assert all("/$(SANITIZE_SITE)/" in m.__file__ for m in (brilox.overlay, brilox.key, brilox.pinhold)), "not the sanitized build"'
	pids=; for k in $$(seq 0 $$(($(SANITIZE_JOBS) - 1))); do \
		$(SANITIZE_ENV) $(PY) -m pytest -q --capture=sys --shard=$$k/$(SANITIZE_JOBS) \
			$(LEAVE_REAL_TIME) tests >build/sanitize/shard-$$k.log 2>&1 & pids="$$pids $$!"; \
	done; status=0; for pid in $$pids; do wait $$pid || status=1; done; \
	for k in $$(seq 0 $$(($(SANITIZE_JOBS) - 1))); do \
		echo "--- shard $$k of $(SANITIZE_JOBS)"; cat build/sanitize/shard-$$k.log; done; \
	exit $$status

# Each interpreter's build and environment live in build/matrix/<version>/.
test-matrix: venv
	$(PY) -m pip install -q "nox>=2023.4.22"
	$(VENV)/bin/nox --noxfile noxfile.py $(if $(MATRIX_ARGS),-- $(MATRIX_ARGS))

bench: install
	$(PY) bench/run.py

# Sphinx as pyproject.toml's docs extra asks.  Every warning fails the build,
# a reference that leads nowhere included (-n), and every page is read again
# (-E), as the installed modules may have changed.  docs/_ext/stubsigs.py
# takes the native modules' signatures from their type stubs.
docs: install
	$(PY) -m pip install -q "sphinx>=7.2"
	$(PY) -m sphinx -E -W --keep-going -n -q -b html docs build/docs

wheel: system
	scripts/build-wheels

# Other native modules build against the wheels (BRILOX_WHEELS) in isolation.
# cibuildwheel 4 makes no CPython 3.8 wheels.  Only the wheel of the venv's
# CPython is built and tested: the others compile the same code against the
# headers of the interpreters that the matrix builds on with -Werror (make
# wheel builds them all).
test-wheel: system venv
	scripts/build-wheels $$($(PY) -c 'import sys; print(sys._base_executable)')
	BRILOX_WHEELS=$(CURDIR)/dist PYTEST_ADDOPTS='$(PARALLEL) $(LEAVE_REAL_TIME)' scripts/test-wheel $$($(PY) -c 'import sys; print(sys._base_executable)')
	build/wheel/tools/bin/python -m pip install -q "cibuildwheel>=3,<4"
	build/wheel/tools/bin/cibuildwheel --platform linux --archs x86_64,aarch64 \
		--print-build-identifiers | tee build/wheel/identifiers
	grep -q '^cp38-manylinux_x86_64$$' build/wheel/identifiers
	grep -q '^cp313-manylinux_aarch64$$' build/wheel/identifiers

clean:
	rm -rf build dist $(VENV)

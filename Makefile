# make test   set up .venv, build and install the package into it, run the test suite
# make demo   the same set-up, then search this repository (examples/demo.py)
# make test-sanitize  the test suite against an ASan/UBSan build (GCC/Clang, Linux)
# make test-windows   the test suite on Windows CPython 3.13 under wine (mingw-w64 cross-build)
# make test-debug     the test suite under -X dev on a debug build of CPython, then a
#                     reference-leak pass over every public call path
# make format-check   check the C++ against .clang-format; make format applies it
# make valgrind       the test suite under valgrind memcheck
# make fuzz-long      the property, thread, churn and leak tests with many more rounds
# make bench          the benchmarks (bench/README.md)
# make bench-core     the core alone against its build from BENCH_BASELINE (bench/bench_core.py)
# make clean  remove the build tree, .venv and caches
#
# PYTHON=/path/to/python3.13 picks the interpreter; otherwise pyenv's 3.13, then
# python3.13 on PATH. EXACT_BUILTIN_ARGS=OFF accepts subclasses of built-in types for str/list
# parameters.

SHELL := /bin/bash
.DEFAULT_GOAL := test

PYENV_ROOT ?= $(HOME)/.pyenv
ifeq ($(strip $(PYTHON)),)
PYTHON := $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/3.13*/bin/python3.13)))
endif
ifeq ($(strip $(PYTHON)),)
PYTHON := $(shell command -v python3.13 2>/dev/null)
endif

# The build machines have two cores; more parallel compile jobs only thrash.
CMAKE_BUILD_PARALLEL_LEVEL ?= 2
export CMAKE_BUILD_PARALLEL_LEVEL

VENV := .venv
VPY := $(VENV)/bin/python
CHECK_ARGS ?=
EXACT_BUILTIN_ARGS ?= ON
PYTEST_ARGS ?= -q
# `make test` shares the suite's files out over the CPUs (at most four processes), a whole
# file to a process, so that each module's fixtures are built once. `TEST_PROCESSES=` runs
# it in this process alone.
TEST_PROCESSES ?= -n auto --maxprocesses 4 --dist loadfile

# Every option is passed on each build: a persistent CMake cache would otherwise keep
# whatever an earlier build was given.
BUILD_SETTINGS := -C cmake.define.PELLANDOR_SANITIZE=OFF -C cmake.define.PELLANDOR_ASSERTIONS=OFF \
                  -C cmake.define.PELLANDOR_EXACT_BUILTIN_ARGS=$(EXACT_BUILTIN_ARGS)

.PHONY: test demo bench bench-core install test-sanitize test-windows test-debug format format-check valgrind fuzz-long check-python check-compiler clean

test: install
	$(VPY) -m pytest tests $(TEST_PROCESSES) $(PYTEST_ARGS)

demo: install
	$(VPY) examples/demo.py

# Path by path against the plain-Python twin (instruction counts need valgrind), the
# end-to-end throughput against scikit-learn's HashingVectorizer, two threads against one
# (the core called directly, then through the service), and the main job on a 500 MB tree
# with --workers 2 against --workers 1. Every step runs; the status is that of the worst.
BENCH_STEPS := bench/bench_paths.py bench/bench_throughput.py bench/bench_core_threads.py \
               "bench/bench_core_threads.py --service --no-baseline" bench/bench_search_workers.py
bench: install
	$(VPY) -m pip install --quiet "scikit-learn>=1.4"
	@status=0; for step in $(BENCH_STEPS); do \
	    echo "== $(VPY) $$step"; $(VPY) $$step || status=1; echo; \
	done; exit $$status

# The core's instructions per byte, MB/s and two-thread scaling, against the core as it was
# before issue 11 (a702cc7, built beside this tree); BENCH_ARGS go to the script.
BENCH_BASELINE ?= a702cc7
BENCH_ARGS ?=
BASELINE_DIR := build/bench-baseline-$(BENCH_BASELINE)
bench-core: install
	@if [ ! -f $(BASELINE_DIR)/build/.built ]; then \
	    rm -rf $(BASELINE_DIR) && mkdir -p $(BASELINE_DIR)/src && \
	    git archive $(BENCH_BASELINE) core | tar -x -C $(BASELINE_DIR)/src && \
	    cmake -S $(BASELINE_DIR)/src/core -B $(BASELINE_DIR)/build -DCMAKE_BUILD_TYPE=Release \
	        -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null && \
	    cmake --build $(BASELINE_DIR)/build >/dev/null && touch $(BASELINE_DIR)/build/.built; \
	fi
	$(VPY) bench/bench_core.py --baseline $(BASELINE_DIR)/build $(BENCH_ARGS)

# The suite against an ASan/UBSan build in its own venv and tree (see tools/sanitize.sh).
test-sanitize:
	tools/sanitize.sh $(CHECK_ARGS)

# The suite on the embeddable Windows CPython 3.13 under wine, against the modules cross-built
# with mingw-w64 (see tools/test_windows.sh). Installs what it needs; caches its downloads in
# ${XDG_CACHE_HOME:-~/.cache}/pellandor/windows.
test-windows: $(VENV)/.deps $(VENV)/.demo-deps
	VENV=$(VENV) tools/test_windows.sh $(CHECK_ARGS)

# The suite under -X dev against a debug build of CPython 3.13 (built once into
# ~/.cache/pellandor), then the reference-leak pass (see tools/test_debug.sh).
test-debug:
	tools/test_debug.sh $(CHECK_ARGS)

# clang-format over frame/, src/ and core/src/ (the vendored code excluded; tools/format.sh).
format-check:
	tools/format.sh --check

format:
	tools/format.sh

# The suite under valgrind memcheck; reports only what passes through our code.
valgrind:
	tools/valgrind.sh $(CHECK_ARGS)

# The property, thread, churn and leak tests at length (about seven minutes here). The leak
# tests are every module's; `make test` runs them with 10,000 rounds per call path.
LONG_LEAK_ROUNDS ?= 100000
fuzz-long: install
	PELLANDOR_FUZZ_EXAMPLES=1000 PELLANDOR_STRESS_SECONDS=30 PELLANDOR_CHURN_ROUNDS=4 \
	PELLANDOR_LEAK_ROUNDS=$(LONG_LEAK_ROUNDS) \
	    $(VPY) -m pytest $(PYTEST_ARGS) tests/test_fuzz_binding.py tests/test_fuzz_core_answers.py \
	        tests/test_threads.py tests/test_lifecycle_churn.py tests/test_leaks.py \
	        tests/test_sparse_service.py::test_no_leaks tests/test_sparse_module.py::test_no_leaks

check-python:
	@if [ -z "$(PYTHON)" ]; then \
	    echo "error: CPython 3.13 not found (looked for $(PYENV_ROOT)/versions/3.13*/bin/python3.13 and python3.13 on PATH)." >&2; \
	    echo "       Install it (e.g. 'pyenv install 3.13') or run 'make PYTHON=/path/to/python3.13 ...'." >&2; \
	    exit 1; \
	fi
	@if ! "$(PYTHON)" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13) or sys.implementation.name != "cpython")' 2>/dev/null; then \
	    echo "error: PYTHON=$(PYTHON) is not a working CPython 3.13 interpreter." >&2; \
	    exit 1; \
	fi
	@if ! "$(PYTHON)" -c 'import venv, ensurepip' 2>/dev/null; then \
	    echo "error: $(PYTHON) lacks the venv/ensurepip modules needed to create $(VENV) (on Debian: apt-get install python3.13-venv)." >&2; \
	    exit 1; \
	fi

check-compiler:
	@if [ -z "$$CXX" ] && ! command -v c++ >/dev/null && ! command -v g++ >/dev/null && ! command -v clang++ >/dev/null; then \
	    echo "error: no C++20 compiler found (c++, g++ or clang++ on PATH, or CXX=...); on Debian: apt-get install g++." >&2; \
	    exit 1; \
	fi

# The venv is remade when it was built from another interpreter than $(PYTHON).
$(VENV)/.interpreter: check-python
	@want="$$("$(PYTHON)" -c 'import sys; print(sys.base_prefix)')"; \
	have="$$(cat $@ 2>/dev/null)"; \
	if [ ! -x "$(VPY)" ] || [ "$$want" != "$$have" ]; then \
	    echo "creating $(VENV) with $(PYTHON)"; \
	    rm -rf $(VENV) && "$(PYTHON)" -m venv $(VENV) && echo "$$want" > $@; \
	fi

# Build and test dependencies. CMake and Ninja come from PyPI only when the system
# lacks usable ones.
$(VENV)/.deps: pyproject.toml Makefile $(VENV)/.interpreter
	@tools=""; \
	if ! cmake --version 2>/dev/null | awk 'NR==1 { split($$3, v, "."); ok = v[1] > 3 || (v[1] == 3 && v[2] >= 26) } END { exit !ok }'; then \
	    tools="$$tools cmake>=3.26"; \
	fi; \
	if ! ninja --version >/dev/null 2>&1; then tools="$$tools ninja"; fi; \
	echo "$(VPY) -m pip install scikit-build-core pytest pytest-xdist hypothesis mypy$$tools"; \
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10" pytest pytest-xdist hypothesis mypy $$tools
	@touch $@

# What the examples need (pyproject's "demo" extra): the suite runs and type-checks them.
$(VENV)/.demo-deps: pyproject.toml $(VENV)/.interpreter
	$(VPY) -m pip install --quiet $$($(VPY) -c 'import pathlib, tomllib; print(*tomllib.loads(pathlib.Path("pyproject.toml").read_text())["project"]["optional-dependencies"]["demo"])')
	@touch $@

# Always handed to pip: the build tree under build/ is persistent, so only what
# changed is recompiled. No build isolation, so CMake sees the same tools each time.
install: check-compiler $(VENV)/.deps $(VENV)/.demo-deps
	$(VPY) -m pip install --quiet --no-deps --no-build-isolation $(BUILD_SETTINGS) .

clean:
	rm -rf build $(VENV) .pytest_cache .hypothesis .mypy_cache dist *.egg-info
	find . -name __pycache__ -type d -prune -exec rm -rf {} +

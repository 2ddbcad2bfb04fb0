#!/usr/bin/env bash
# Build the package with AddressSanitizer + UndefinedBehaviorSanitizer into its own venv
# (build/venv-sanitize, built from build/sanitize-debug-*) and run the whole test suite
# under them on the stock interpreter. Extra arguments go to pytest.
#
#   tools/sanitize.sh                    # whole suite
#   tools/sanitize.sh tests/test_core.py -x
#
# PYTHON=/path/to/python3.13 picks the interpreter, as for `make test`.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=build/venv-sanitize
cxx=${CXX:-g++}

tools/install_debug_build.sh "$venv" "build/sanitize-debug-{wheel_tag}" -C cmake.define.PELLANDOR_SANITIZE=ON

asan=$("$cxx" -print-file-name=libasan.so)
# The interpreter is C: libstdc++ must be loaded before the modules, or ASan's
# __cxa_throw interceptor finds no real __cxa_throw and aborts at the first C++ throw.
stdcxx=$("$cxx" -print-file-name=libstdc++.so)
for lib in "$asan" "$stdcxx"; do
    if [[ ! -e $lib ]]; then
        echo "error: $lib not found (needs $cxx with libasan; on Debian: apt-get install g++)" >&2
        exit 1
    fi
done

# Instrumented frames are several times larger: with the default 8 MiB stack a deep
# (but legal) C recursion overflows before the interpreter's C recursion limit.
ulimit -s 65536 2>/dev/null || ulimit -s unlimited 2>/dev/null || true

export LD_PRELOAD="$asan $stdcxx${LD_PRELOAD:+ $LD_PRELOAD}"
export PYTHONMALLOC=malloc
# Interpreter-lifetime objects are never freed; leaks are valgrind's and test_leaks' job.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}

# Under PYTHONMALLOC=malloc the leak tests can only compare reference counts, which any
# number of rounds shows; the full count would only cost time here.
export PELLANDOR_LEAK_ROUNDS=${PELLANDOR_LEAK_ROUNDS:-5000}

[[ $# -eq 0 ]] && set -- tests
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"

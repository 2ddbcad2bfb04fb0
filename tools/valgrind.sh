#!/usr/bin/env bash
# Run the test suite under valgrind memcheck (PYTHONMALLOC=malloc) against an unstripped
# RelWithDebInfo build in build/venv-valgrind, and report invalid accesses, uses of
# uninitialised values and definite leaks whose stacks pass through our modules or the core.
#
#   tools/valgrind.sh                     # the in-process suite (see below)
#   tools/valgrind.sh tests/test_leaks.py # any pytest arguments
#
# Snippets that the tests run in fresh interpreters are not traced (--trace-children=no):
# they only re-check import-time behaviour that the in-process tests already exercise,
# and tracing them multiplies the run time. VALGRIND_CHILDREN=yes traces them too.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v valgrind >/dev/null; then
    echo "error: valgrind not found (on Debian: apt-get install valgrind)" >&2
    exit 1
fi

venv=build/venv-valgrind
tools/install_debug_build.sh "$venv" "build/valgrind-{wheel_tag}" -C cmake.define.PELLANDOR_SANITIZE=OFF

log=build/valgrind.log
args=("$@")
# Under valgrind threads run one at a time, so the core's GIL-release timing cannot show.
[[ ${#args[@]} -eq 0 ]] && args=(tests --deselect tests/test_core.py::test_gil_is_released_while_computing)

# With PYTHONMALLOC=malloc the leak tests can only compare reference counts, which a few
# thousand rounds show as well as the full count; valgrind checks the memory itself.
export PELLANDOR_LEAK_ROUNDS=${PELLANDOR_LEAK_ROUNDS:-2000}

set +e
PYTHONMALLOC=malloc valgrind \
    --tool=memcheck --error-limit=no --num-callers=40 \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --trace-children="${VALGRIND_CHILDREN:-no}" \
    --suppressions=tools/valgrind-python.supp \
    --log-file="$log" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "${args[@]}"
status=$?
set -e

"$venv/bin/python" tools/valgrind_report.py "$log"
report=$?
exit $(( status != 0 ? status : report ))

#!/usr/bin/env bash
# The interpreter's own checks: build the package with assertions on against a debug build of
# CPython 3.13 (tools/debug_python.sh, cached outside the checkout) in build/venv-debug, run the
# whole suite under -X dev, then the reference-leak pass over every path of the leak tests
# (tests/refleak.py: warm-up rounds, then three measured rounds, in the manner of -R 3:3).
# Extra arguments go to pytest in both steps.
#
#   tools/test_debug.sh                       # whole suite, then every leak path
#   tools/test_debug.sh tests/test_leaks.py   # those tests, then their leak paths
set -euo pipefail
cd "$(dirname "$0")/.."

python=$(tools/debug_python.sh)
venv=build/venv-debug

# pip itself leaves files unclosed, which a debug build reports.
PYTHONWARNINGS=ignore::ResourceWarning PYTHON=$python \
    tools/install_debug_build.sh "$venv" "build/debug-{wheel_tag}" \
    -C cmake.define.PELLANDOR_SANITIZE=OFF

# Dev mode in every interpreter the tests start, not only this one.
export PYTHONDEVMODE=1
# The debug interpreter runs several times slower; the leak tests' own count needs far fewer
# rounds to show a leak of one block per call, and the pass below counts every reference.
export PELLANDOR_LEAK_ROUNDS=${PELLANDOR_LEAK_ROUNDS:-5000}

args=("$@")
[[ ${#args[@]} -eq 0 ]] && args=(tests)

echo "== the suite on $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0], sys.abiflags)') under -X dev"
"$venv/bin/python" -X dev -m pytest -q -p no:cacheprovider "${args[@]}"

echo "== the reference-leak pass"
set +e
PYTHONPATH=tests${PYTHONPATH:+:$PYTHONPATH} \
    "$venv/bin/python" -X dev -m pytest -q -p no:cacheprovider -p refleak "${args[@]}"
status=$?
set -e
# Arguments that select no leak test leave the pass nothing to do (pytest's 5).
if [[ $status -eq 5 && $# -gt 0 ]]; then
    echo "the selected tests include no leak test"
    status=0
fi
exit $status

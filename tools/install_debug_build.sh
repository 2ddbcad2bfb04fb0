#!/usr/bin/env bash
# Create (or refresh) a venv with the build, test and example dependencies, and install into it
# an unstripped RelWithDebInfo build of the package, so that tool reports name files and lines.
#
#   tools/install_debug_build.sh VENV BUILD_DIR [-C cmake.define.X=Y ...]
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$1 build_dir=$2
shift 2

# The venv and its dependencies come from the Makefile's own rules.
make --no-print-directory check-compiler "$venv/.deps" "$venv/.demo-deps" VENV="$venv"
"$venv/bin/python" -m pip install --quiet --no-deps --no-build-isolation \
    -C cmake.define.PELLANDOR_EXACT_BUILTIN_ARGS=ON \
    -C cmake.build-type=RelWithDebInfo \
    -C install.strip=false \
    -C "build-dir=$build_dir" "$@" .

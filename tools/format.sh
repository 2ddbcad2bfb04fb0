#!/usr/bin/env bash
# clang-format, as .clang-format says, over our C++: frame/, src/ and core/src/ (the vendored
# code in core/third_party is left as its authors wrote it).
#
#   tools/format.sh           # rewrite the files in place
#   tools/format.sh --check   # list the files that differ and fail; change nothing
#   tools/format.sh --diff    # the same, with the changes clang-format would make
#
# One pinned major version (clang-format-19, the same 19.1 on Debian 12 and 13): another
# version formats some constructs differently. Installed from Debian when missing;
# CLANG_FORMAT=/path/to/clang-format may name another binary of that version.
set -euo pipefail
cd "$(dirname "$0")/.."

major=19
mode=${1:-apply}
case $mode in apply|--check|--diff) ;; *) echo "usage: $0 [--check|--diff]" >&2; exit 2 ;; esac

tool=${CLANG_FORMAT:-clang-format-$major}
if ! command -v "$tool" >/dev/null; then
    if [[ -n ${CLANG_FORMAT:-} ]]; then
        echo "error: CLANG_FORMAT=$CLANG_FORMAT not found" >&2; exit 1
    fi
    sudo=; [[ $(id -u) -eq 0 ]] || sudo="sudo -n"
    echo "installing clang-format-$major from Debian" >&2
    apt_log=$(mktemp)
    install() { $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "clang-format-$major"; }
    if ! { install || { $sudo apt-get update -qq && install; }; } >"$apt_log" 2>&1; then
        cat "$apt_log" >&2; rm -f "$apt_log"
        echo "error: could not install clang-format-$major" >&2; exit 1
    fi
    rm -f "$apt_log"
fi
if ! "$tool" --version | grep -q "version $major\."; then
    echo "error: $tool is not clang-format $major: $("$tool" --version)" >&2; exit 1
fi

mapfile -t files < <(find frame src core/src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \
                         -o -name '*.cc' \) -not -path '*/third_party/*' | LC_ALL=C sort)

if [[ $mode == apply ]]; then
    "$tool" -i --style=file "${files[@]}"
    echo "formatted ${#files[@]} files"
    exit 0
fi

failing=0
for file in "${files[@]}"; do
    if ! "$tool" --style=file "$file" | cmp -s - "$file"; then
        failing=$((failing + 1))
        echo "not formatted: $file"
        if [[ $mode == --diff ]]; then
            "$tool" --style=file "$file" | diff -u --label "$file" --label "$file (clang-format)" "$file" - || true
        fi
    fi
done
if [[ $failing -gt 0 ]]; then
    echo "$failing of ${#files[@]} files differ from .clang-format (clang-format $major); 'make format' rewrites them" >&2
    exit 1
fi
echo "all ${#files[@]} files follow .clang-format"

#!/usr/bin/env bash
# Static checks; fails on any finding:
# - clang-tidy (.clang-tidy) over the library, two files at a time: the Linux sources with the
#   compile database of a Linux configure, kerval/platform/win32 with that of a mingw configure;
# - clang-format (.clang-format) over the C and C++ sources of kerval/, tests/, bench/, fuzz/
#   and examples/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

kv_setup
mingw_cxx=x86_64-w64-mingw32-g++-posix
status=0

# Configures the library alone into build/$1 (further arguments go to cmake): only its compile
# database is used.
configure() {
    local dir=build/$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
        -DKERVAL_SHARED=OFF -DKERVAL_TESTS=OFF -DKERVAL_EXAMPLES=OFF -DKERVAL_BENCH=OFF \
        "$@" >/dev/null
}

# Sources of the compile database in build/$1 whose path matches $2.
sources_of() {
    python3 -c '
import json, sys
for entry in json.load(open(sys.argv[1])):
    print(entry["file"])' "build/$1/compile_commands.json" | grep -E "$2" | sort -u
}

# clang-tidy over the files of standard input (one a line), arguments added; silent when clean.
tidy() {
    tr '\n' '\0' | xargs -0 -n 1 -P 2 clang-tidy --quiet "$@" 2>&1 |
        { grep -vE '^[0-9]+ warnings?( and [0-9]+ errors?)? generated\.$' || true; }
    return "${PIPESTATUS[1]}"
}

configure lint -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
mapfile -t linux_sources < <(sources_of lint '/kerval/')
echo "lint: clang-tidy over ${#linux_sources[@]} Linux sources"
printf '%s\n' "${linux_sources[@]}" | tidy -p build/lint || status=1

# Clang reads the mingw build's commands for a Windows target; it needs the C++ library
# headers of the mingw compiler, which it does not find by itself.
configure lint-mingw --toolchain cmake/mingw-w64-x86_64.cmake
mapfile -t mingw_args < <("$mingw_cxx" -xc++ -E -v - </dev/null 2>&1 |
    sed -n '/#include <...>/,/End of search/p' | grep '/c++' | sed 's/^ */--extra-arg=-isystem/')
mingw_args+=(--extra-arg-before=--target=x86_64-w64-mingw32)
mapfile -t win32_sources < <(sources_of lint-mingw '/kerval/platform/win32/')
echo "lint: clang-tidy over ${#win32_sources[@]} Windows sources"
printf '%s\n' "${win32_sources[@]}" | tidy -p build/lint-mingw "${mingw_args[@]}" || status=1

mapfile -t formatted < <(git ls-files --cached --others --exclude-standard -- \
    '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' '*.inl' | grep -E '^(kerval|tests|bench|fuzz|examples)/')
echo "lint: clang-format over ${#formatted[@]} files"
clang-format --dry-run --Werror "${formatted[@]}" || status=1

[ "$status" -eq 0 ] && echo "lint: clean"
exit "$status"

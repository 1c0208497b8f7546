#!/usr/bin/env bash
# Installs the release build into a temporary prefix and builds programs against it as another
# project would: the C++ consumer with CMake's find_package, the README's tour (C) with
# pkg-config and a plain compiler call; then makes the Debian packages, unpacks them into a
# temporary root and builds the consumer against that; and, when the Windows build exists, makes
# its zip and checks what it holds. Leaves nothing behind.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

kv_setup
cmake --preset release >/dev/null
cmake --build --preset release --target kerval kerval_static

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs a program in the scratch folder (its trace files land there) with the given library path.
run_in_work() {
    local libdir=$1
    shift
    (cd "$work" && LD_LIBRARY_PATH="$libdir" "$@")
}

build_cmake_consumer() {
    local prefix=$1 build=$2
    cmake -S packaging/consumer -B "$build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    cmake --build "$build" >/dev/null
}

echo "== install into a temporary prefix"
prefix="$work/prefix"
cmake --install build/release --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libkerval.so' | head -n 1)")

echo "== C++ consumer through find_package(kerval)"
build_cmake_consumer "$prefix" "$work/consumer"
run_in_work "$libdir" "$work/consumer/consumer"

echo "== the README's tour (C) through pkg-config"
awk '/^### A short tour/ {tour = 1} tour && /^```c$/ {code = 1; next} code && /^```$/ {exit}
     code {print}' README.md >"$work/tour.c"
flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs kerval)
# shellcheck disable=SC2086
cc -std=c99 -Wall -Wextra -Werror "$work/tour.c" $flags -o "$work/tour"
run_in_work "$libdir" "$work/tour" | tee "$work/tour.out"
grep -qx 'tick 5' "$work/tour.out"

echo "== Debian packages, unpacked into a temporary root"
(cd build/release && cpack -G DEB >/dev/null)
root="$work/root"
for package in build/release/packages/*.deb; do
    dpkg-deb --info "$package" | grep -E '^ (Package|Version|Depends):'
    dpkg-deb -x "$package" "$root"
done
build_cmake_consumer "$root/usr" "$work/consumer-deb"
run_in_work "$(dirname "$(find "$root" -name 'libkerval.so.0' | head -n 1)")" \
    "$work/consumer-deb/consumer"

if [ -f build/mingw/CPackConfig.cmake ]; then
    echo "== Windows zip"
    (cd build/mingw && cpack -G ZIP >/dev/null)
    zip=$(ls build/mingw/packages/kerval-*-win64.zip)
    unzip -Z1 "$zip" | tee "$work/zip.list"
    for entry in bin/kerval.dll lib/kerval.dll.a lib/kerval.def include/kerval/kerval.h; do
        grep -q "/$entry\$" "$work/zip.list" || { echo "missing from the zip: $entry" >&2; exit 1; }
    done
fi
echo "== install check passed"

#!/usr/bin/env bash
# Runs the native test suite under AddressSanitizer + UndefinedBehaviorSanitizer (asan preset),
# then under ThreadSanitizer (tsan preset). Any sanitizer report fails the test that caused it.
# Extra arguments go to both ctest runs.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

kv_setup
kv_scratch_tmp
mapfile -t filter < <(kv_ctest_filter)

# Some kernels map memory where ThreadSanitizer cannot work (too many random bits in mmap
# addresses); running without address randomisation avoids it.
tsan_launcher() {
    local probe_dir
    probe_dir=$(mktemp -d)
    printf '#include <thread>\nint main() { std::thread([] {}).join(); }\n' >"$probe_dir/probe.cpp"
    g++ -fsanitize=thread "$probe_dir/probe.cpp" -o "$probe_dir/probe"
    if "$probe_dir/probe" >/dev/null 2>&1; then
        :
    elif setarch "$(uname -m)" -R "$probe_dir/probe" >/dev/null 2>&1; then
        printf '%s\n' setarch "$(uname -m)" -R
    else
        echo "test-sanitizers: ThreadSanitizer does not run on this machine" >&2
        rm -rf "$probe_dir"
        return 1
    fi
    rm -rf "$probe_dir"
}

run_preset() {
    local preset=$1
    shift
    cmake --preset "$preset" || return
    cmake --build --preset "$preset" || return
    "$@" ctest --preset "$preset" "${filter[@]}" "${ctest_args[@]}"
}

# Both presets run even when the first fails; the script fails if either did.
ctest_args=("$@")
status=0
kv_timed run_preset asan || status=1
mapfile -t launcher < <(tsan_launcher)
kv_timed run_preset tsan "${launcher[@]}" || status=1
exit $status

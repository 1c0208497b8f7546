#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang, ASan+UBSan) and runs each one for a bounded
# time from its seed corpus in fuzz/corpus/<name>. Fails on any finding; the input that caused
# it is kept in build/fuzz/findings/ to become a regression test.
#   scripts/fuzz.sh [seconds per target]     (default: 60 s shared by all targets)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

kv_setup
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

mapfile -t targets < <(find build/fuzz/bin -name '*_fuzz' -type f | sort)
[ ${#targets[@]} -gt 0 ] || { echo "fuzz: no targets" >&2; exit 1; }
seconds=${1:-$(( (60 + ${#targets[@]} - 1) / ${#targets[@]} ))}
findings="$KERVAL_ROOT/build/fuzz/findings"
mkdir -p "$findings"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TMPDIR="$work"

status=0
for target in "${targets[@]}"; do
    name=$(basename "$target" _fuzz)
    corpus="$work/corpus-$name"
    mkdir -p "$corpus"
    [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$corpus/"
    if (cd "$work" && "$KERVAL_ROOT/$target" -max_total_time="$seconds" -print_final_stats=1 \
            -artifact_prefix="$findings/$name-" "$corpus" >"$work/$name.log" 2>&1); then
        echo "fuzz $name: $(grep -E '^stat::number_of_executed_units' "$work/$name.log" |
            awk '{print $2}') runs, $(grep -oE 'cov: [0-9]+' "$work/$name.log" | tail -n 1)," \
            "no finding in ${seconds} s"
    else
        status=1
        echo "fuzz $name: FINDING"
        grep -E 'ERROR|SUMMARY|Test unit written' "$work/$name.log" || tail -n 20 "$work/$name.log"
    fi
done
exit $status

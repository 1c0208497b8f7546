#!/usr/bin/env bash
# Builds and runs the demo: an equipment gateway (examples/demo.cpp) talking to a simulated
# piece of equipment (examples/equipment_sim.py) on 127.0.0.1. The simulator drops and corrupts
# frames now and then (--faults), so the gateway shows its reconnections and rejected frames.
# Runs in a scratch folder that is removed at the end; the trace log is shown before.
#   scripts/demo.sh [--windows] [--readings N]
# --windows runs the mingw build's demo.exe under Wine instead (after scripts/test-windows.sh).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

windows=0
if [ "${1:-}" = "--windows" ]; then
    windows=1
    shift
fi
kv_setup
if [ $windows -eq 1 ]; then
    demo=("$KERVAL_ROOT/build/mingw/bin/demo.exe")
    [ -f "${demo[0]}" ] || { echo "demo: build the mingw preset first" >&2; exit 1; }
    export WINEPREFIX="${KERVAL_WINEPREFIX:-$KERVAL_ROOT/build/wine-prefix}" WINEDEBUG=-all
    demo=("$KV_WINE_DIR/wine64" "${demo[@]}")
else
    cmake --preset release >/dev/null
    cmake --build --preset release --target demo >/dev/null
    demo=("$KERVAL_ROOT/build/release/bin/demo")
fi

work=$(mktemp -d)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
    if [ $windows -eq 1 ]; then kv_wine_stop; fi
}
trap cleanup EXIT

python3 "$KERVAL_ROOT/examples/equipment_sim.py" --faults 9 --seconds 90 >"$work/sim.out" &
sim_pid=$!
for _ in $(seq 100); do
    grep -q '^port ' "$work/sim.out" 2>/dev/null && break
    sleep 0.1
done
port=$(awk '/^port / {print $2}' "$work/sim.out")
[ -n "$port" ] || { echo "demo: the equipment simulator did not start" >&2; exit 1; }
echo "== equipment simulator listening on 127.0.0.1:$port (a fault every 9 frames)"

status=0
(cd "$work" && "${demo[@]}" --port "$port" "$@") || status=$?
echo "== trace log (TRACE.001.LOG)"
tr -d '\r' <"$work/TRACE.001.LOG" 2>/dev/null | tail -n 12 || true
exit $status

#!/usr/bin/env bash
# Cross-builds kerval for Windows (mingw-w64) and runs the test suite under Wine.
# Extra arguments go to ctest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

kv_setup

# A prefix of our own: its wineserver is ours to start and stop.
export WINEPREFIX="${KERVAL_WINEPREFIX:-$KERVAL_ROOT/build/wine-prefix}"
export WINEDEBUG=-all
# No Mono or Gecko installation prompts while the prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"

# Without a persistent server every Wine process pays about 2 s of start-up.
"$KV_WINE_DIR/wineserver" -p &
# No scratch TMPDIR here: the Wine prefix would keep pointing at it once it is gone. Windows
# programs use the prefix's own temporary folder, inside the build tree.
trap kv_wine_stop EXIT
# Start Wine's background services now, away from any pipe: a test process that started them
# would leave them holding its output pipe open, and ctest would wait for them.
[ -f "$WINEPREFIX/system.reg" ] || echo "== creating the Wine prefix $WINEPREFIX"
"$KV_WINE_DIR/wine64" wineboot --init </dev/null >/dev/null 2>&1

mapfile -t filter < <(kv_ctest_filter)
cmake --preset mingw
cmake --build --preset mingw
ctest --preset mingw "${filter[@]}" "$@"

#!/usr/bin/env bash
# Builds and runs the demo application (Linux release build). Arguments go to the demo.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

kv_setup
cmake --preset release >/dev/null
cmake --build --preset release --target demo
# The demo writes its trace log files in the current folder: keep them in the build tree.
cd "$KERVAL_ROOT/build/release"
exec ./bin/demo "$@"

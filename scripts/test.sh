#!/usr/bin/env bash
# Builds the Linux release preset and runs the whole native test suite.
# Extra arguments go to ctest (e.g. -R Mailbox, -L stress).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

kv_setup
kv_scratch_tmp
mapfile -t filter < <(kv_ctest_filter)
cmake --preset release
cmake --build --preset release
ctest --preset release "${filter[@]}" "$@"

# Shared by the scripts: repository root, package check and the ctest label filter.
# Source it; do not run it.
# Where Debian installs Wine's programs.
KV_WINE_DIR=/usr/lib/wine
KERVAL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$KERVAL_ROOT"

kv_setup() {
    "$KERVAL_ROOT/scripts/setup.sh"
}

# The `exports` test compares the library's exports with kerval/exports.txt; it runs unless
# KERVAL_CHECK_EXPORTS is OFF (or 0, false, no).
kv_ctest_filter() {
    case "${KERVAL_CHECK_EXPORTS:-ON}" in
        OFF | off | 0 | false | FALSE | no | NO) printf '%s\n' -LE exports ;;
        *) ;;
    esac
}

# Runs "$@", prints how long it took and returns its status.
kv_timed() {
    local start=$SECONDS status=0
    "$@" || status=$?
    echo "== $*: $((SECONDS - start)) s (status $status)"
    return $status
}

# Points TMPDIR (and GoogleTest's TEST_TMPDIR) at a scratch folder that goes when the script
# ends, so that a test process that ends abruptly leaves nothing in /tmp. Extra arguments are a
# command to run at the end too.
kv_scratch_tmp() {
    KV_SCRATCH=$(mktemp -d)
    export TMPDIR="$KV_SCRATCH" TEST_TMPDIR="$KV_SCRATCH/"
    # shellcheck disable=SC2064
    trap "$* ${*:+;} rm -rf '$KV_SCRATCH'" EXIT
}

# Stops the Wine server of $WINEPREFIX and removes the folder it keeps its socket in, which it
# leaves behind: /tmp/wine-XXXXXX/server-<device>-<inode of the prefix>, both in hexadecimal.
kv_wine_stop() {
    "$KV_WINE_DIR/wineserver" -k 2>/dev/null || true
    "$KV_WINE_DIR/wineserver" -w 2>/dev/null || true
    local id dir
    id=$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
    for dir in /tmp/wine-*/"$id" "/tmp/.wine-$(id -u)/$id"; do
        [ -d "$dir" ] || continue
        rm -rf "$dir"
        rmdir "$(dirname "$dir")" 2>/dev/null || true
    done
}

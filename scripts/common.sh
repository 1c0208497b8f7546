# Shared by the scripts: repository root, package check and the ctest label filter.
# Source it; do not run it.
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

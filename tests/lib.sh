# lib.sh: what the shell runners of the suites share. Sourcing it sets names beginning with
# suite_ only (root, build and work are set by the calls below that say so), so that the host
# and issuer helpers of tools/ can take suite_stop from it whoever sources them.
#
#   suite_begin NAME        sets root, the top of the checkout, and names the suite's last
#                           line, "NAME: N passed, M failed", which tools/test.sh adds up.
#                           From here on a run that ends without that line (a failed command
#                           under set -e, an unbound variable) still prints it, with one
#                           failure more, and exits non-zero.
#   suite_build DIR         sets build to DIR as an absolute path; no such folder ends the run
#   suite_need NAME [TEST...]
#                           NAME is missing unless TEST succeeds (no TEST: unless NAME is a
#                           command on PATH)
#   suite_needs_met [STATUS]
#                           when something is missing, says what and ends the run (with
#                           STATUS, default 1)
#   suite_work NAME         sets work to a new temporary folder, removed at the end
#   suite_track PID         a process the end of the run stops (servers started with &)
#   suite_stop PID...       stops processes now; one that is gone already is no error
#   suite_ok NAME, suite_not_ok NAME [DETAIL], suite_check NAME COMMAND...
#                           one counted check each, printed as "ok - NAME" or "not ok - NAME"
#   suite_end               prints the line from those counts; status 0 when none failed
#   suite_line PASSED FAILED
#                           prints the line from counts of the runner's own
#   suite_abort [STATUS]    prints the line with one failure more and exits (default 1)
#   suite_node_test COMMAND...
#                           runs node's test runner, its output shown, and prints the line
#                           from node's own summary; status 0 when nothing failed
#
# At the end of the run, a function suite_cleanup of the runner's runs first (it may set
# suite_keep_work=1 to leave the folder for a look), then the tracked processes are stopped
# and the work folder is removed.

[ -z "${suite_loaded:-}" ] || return 0
suite_loaded=1

suite_lib_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
suite_name=""
suite_passed=0
suite_failed=0
suite_said=0
suite_missing=()
suite_pids=()
suite_work_dir=""
suite_keep_work=0

suite_begin() {
    # shellcheck disable=SC2034 # the runner's
    root="$(dirname "$suite_lib_dir")"
    suite_name=$1
    trap suite_exit EXIT
}

# The EXIT trap. A runner whose own trap replaces it calls it from there, so $? may not be
# the run's status: a run that has not printed its line fails whatever it says.
suite_exit() {
    local rc=$? i
    set +e
    if [ "$(type -t suite_cleanup)" = function ]; then
        suite_cleanup
    fi
    for ((i = ${#suite_pids[@]} - 1; i >= 0; i--)); do
        suite_stop "${suite_pids[i]}"
    done
    suite_pids=()
    if [ -n "$suite_work_dir" ] && [ "$suite_keep_work" != 1 ]; then
        rm -rf "$suite_work_dir"
    fi
    suite_work_dir=""
    if [ "$suite_said" -eq 0 ] && [ -n "$suite_name" ]; then
        suite_line "$suite_passed" $((suite_failed + 1))
        [ "$rc" -ne 0 ] || rc=1
        exit "$rc"
    fi
}

suite_build() {
    # shellcheck disable=SC2034 # the runner's
    if ! build="$(cd "$1" 2>/dev/null && pwd)"; then
        echo "$(basename "$0"): no build folder $1" >&2
        suite_abort 1
    fi
}

suite_need() {
    local name=$1
    shift
    if [ $# -eq 0 ]; then
        command -v "$name" >/dev/null 2>&1 || suite_missing+=("$name")
    else
        "$@" >/dev/null 2>&1 || suite_missing+=("$name")
    fi
}

# The runners only say what is missing: tools/deps.sh is the one place that installs.
# shellcheck disable=SC2120 # the status is optional
suite_needs_met() {
    [ ${#suite_missing[@]} -gt 0 ] || return 0
    echo "$(basename "$0"): missing ${suite_missing[*]} (tools/deps.sh installs them)" >&2
    suite_abort "${1:-1}"
}

suite_work() {
    work="$(mktemp -d -t "credvane-$1.XXXXXX")"
    suite_work_dir=$work
}

suite_track() {
    suite_pids+=("$1")
}

suite_stop() {
    local pid
    for pid in "$@"; do
        [ -n "$pid" ] || continue
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}

suite_ok() {
    suite_passed=$((suite_passed + 1))
    echo "ok - $1"
}

suite_not_ok() {
    suite_failed=$((suite_failed + 1))
    echo "not ok - $1"
    [ -z "${2:-}" ] || printf '%s\n' "$2" | sed 's/^/    /'
}

suite_check() {
    local name=$1
    shift
    if "$@"; then
        suite_ok "$name"
    else
        suite_not_ok "$name"
    fi
}

suite_line() {
    echo "$suite_name: $1 passed, $2 failed"
    suite_said=1
}

suite_end() {
    suite_line "$suite_passed" "$suite_failed"
    [ "$suite_failed" -eq 0 ]
}

suite_abort() {
    suite_line "$suite_passed" $((suite_failed + 1))
    exit "${1:-1}"
}

# node's summary ("# pass N", "# fail N") becomes the line. A run that ended without its
# summary, or failed with none counted, is one failure. The status is taken from the pipe
# itself, so that it holds with and without the runner's pipefail.
suite_node_test() {
    local log rc pass fail
    log="$(mktemp -t credvane-node-test.XXXXXX)"
    { "$@" 2>&1 | tee "$log"; rc=${PIPESTATUS[0]}; } || true
    pass="$(sed -n 's/^# pass \([0-9]*\)$/\1/p' "$log" | tail -n1)"
    fail="$(sed -n 's/^# fail \([0-9]*\)$/\1/p' "$log" | tail -n1)"
    rm -f "$log"
    [ -n "$fail" ] || fail=1
    [ "$rc" -eq 0 ] || [ "$fail" -gt 0 ] || fail=1
    suite_line "${pass:-0}" "$fail"
    [ "$rc" -eq 0 ] && [ "$fail" -eq 0 ]
}

#!/bin/bash
# run.sh: builds the Windows executables with mingw-w64 and runs their test suites under wine.
#
#   tests/wine/run.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-win at the repository root. Each run uses a fresh wine prefix
# in a temporary folder and removes it afterwards. Exit status: 0 when every suite passed,
# 1 when a suite failed, 2 when the build or the wine setup failed. Ends with the line
# "wine: N passed, M failed" (GoogleTest's tests, all suites together).
# Environment: JOBS (build jobs, default 2), WINE_GTEST_FILTER (passed to every suite as
# --gtest_filter), KEEP_WINEPREFIX=1 (leave the prefix behind for a look).
set -u

# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
# The suite's line, "wine: N passed, M failed", counts GoogleTest's tests; a build or a
# setup that fails is one failure.
suite_begin wine
repo=$root
build=${1:-$repo/build-win}
jobs=${JOBS:-2}

say() { printf '%s\n' "run.sh: $*" >&2; }

broken() { suite_abort 2; }

suite_need mingw-w64 command -v x86_64-w64-mingw32-g++-posix
# wine64 keeps its loader in /usr/lib/wine, off PATH.
suite_need wine64 bash -c '[ -x /usr/lib/wine/wine64 ] || command -v wine64'
suite_needs_met 2

if [ -x /usr/lib/wine/wine64 ]; then
    wine=/usr/lib/wine/wine64
else
    wine=$(command -v wine64)
fi
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)

mkdir -p "$build"
cmake -S "$repo/tests/wine" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log" >&2; say "configure failed"; broken; }
rm -f "$build/configure.log"
cmake --build "$build" -j"$jobs" >"$build/build.log" 2>&1 ||
    { tail -n 60 "$build/build.log" >&2; say "build failed"; broken; }
rm -f "$build/build.log"

suite_work wine
prefix=$work
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The EXIT trap, here and after the issuer's start below: the wine server first, for it holds
# the prefix open, then the shared end of the run.
cleanup() {
    WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1
    if [ "${KEEP_WINEPREFIX:-0}" = 1 ]; then
        say "wine prefix kept at $prefix"
        suite_keep_work=1
    fi
    suite_exit
}
trap cleanup EXIT

say "creating the wine prefix"
"$wine" wineboot -i >/dev/null 2>&1
"$wineserver" -w >/dev/null 2>&1 || true
if [ ! -d "$prefix/drive_c/windows/system32" ]; then
    say "wineboot did not create a prefix at $prefix"
    broken
fi
# One wine server for the whole run: left to itself it ends a few seconds after its last
# program, and a suite that starts just then loses its connection ("recvmsg: Connection
# reset by peer"). cleanup ends it.
"$wineserver" -p >/dev/null 2>&1

# The sign-in suite runs credvane-login.exe and credvane-refresh.exe against the stand-in
# issuer: a node program outside wine, on 127.0.0.1, which wine programs reach; and against
# an https server with a self-signed certificate, which they must refuse.
issuer_pid=""
tls_pid=""
stop_issuer() {
    local pid
    for pid in "$issuer_pid" "$tls_pid"; do
        [ -n "$pid" ] || continue
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    issuer_pid=""
    tls_pid=""
}
start_issuer() {
    command -v node >/dev/null 2>&1 || { say "node is missing: the sign-in suite needs the stand-in issuer"; return 1; }
    # Its first line on stdout is its address, written once it listens.
    coproc ISSUER { exec node "$repo/tools/issuer/issuer.js" --port 0 2>"$prefix/issuer.log"; }
    issuer_pid=$ISSUER_PID
    CREDVANE_TEST_ISSUER=""
    read -r -t 30 CREDVANE_TEST_ISSUER <&"${ISSUER[0]}"
    case "$CREDVANE_TEST_ISSUER" in
        http://127.0.0.1:*) export CREDVANE_TEST_ISSUER ;;
        *) say "the stand-in issuer did not start"; cat "$prefix/issuer.log" >&2; stop_issuer; return 1 ;;
    esac
    # An https server whose certificate nothing trusts: WinHTTP must refuse it.
    command -v openssl >/dev/null 2>&1 || { say "openssl is missing: the sign-in suite needs a certificate"; return 1; }
    if ! openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -days 1 \
        -keyout "$prefix/tls.key" -out "$prefix/tls.crt" >/dev/null 2>&1; then
        say "openssl could not make a certificate"
        stop_issuer
        return 1
    fi
    local port=""
    exec {tls_fd}< <(exec node -e '
        const fs = require("fs");
        require("https").createServer({key: fs.readFileSync(process.argv[1]), cert: fs.readFileSync(process.argv[2])},
            (q, s) => { s.writeHead(200, {"Content-Type": "application/json"}); s.end("{}"); })
          .listen(0, "127.0.0.1", function () { console.log(this.address().port); });' \
        "$prefix/tls.key" "$prefix/tls.crt" 2>>"$prefix/issuer.log")
    tls_pid=$!
    read -r -t 30 port <&"$tls_fd"
    exec {tls_fd}<&-
    case "$port" in
        [0-9]*) export CREDVANE_TEST_UNTRUSTED_ISSUER="https://127.0.0.1:$port" ;;
        *) say "the https server did not start"; cat "$prefix/issuer.log" >&2; stop_issuer; return 1 ;;
    esac
}
trap 'stop_issuer; cleanup' EXIT

suites=(wine_platform_tests wine_cgi_tests wine_signin_tests)
if [ -s "$build/unit_suites.txt" ]; then
    IFS=';' read -r -a unit <<<"$(tr -d '\n' <"$build/unit_suites.txt")"
    suites+=("${unit[@]}")
fi

failed=()
tests_passed=0
tests_failed=0
for suite in "${suites[@]}"; do
    exe=$build/bin/$suite.exe
    args=(--gtest_brief=1)
    [ -n "${WINE_GTEST_FILTER:-}" ] && args+=(--gtest_filter="$WINE_GTEST_FILTER")
    say "$suite"
    if [ "$suite" = wine_signin_tests ] && ! start_issuer; then
        failed+=("$suite")
        tests_failed=$((tests_failed + 1))
        continue
    fi
    # wine hands a Windows exit code on as its low byte: zero only when the suite passed.
    # Into a file, not a pipe: the services wine starts for the prefix inherit the suite's
    # output and hold a pipe open for as long as the wine server runs.
    "$wine" "$exe" "${args[@]}" >"$prefix/suite.log" 2>&1
    rc=$?
    cat "$prefix/suite.log"
    n_passed=$(sed -n 's/.*\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$prefix/suite.log" | tail -n1)
    n_failed=$(sed -n 's/.*\[  FAILED  \] \([0-9]*\) test.*/\1/p' "$prefix/suite.log" | tail -n1)
    tests_passed=$((tests_passed + ${n_passed:-0}))
    if [ "$rc" -ne 0 ]; then
        failed+=("$suite")
        # A suite that failed without naming a failed test (it crashed, or never started)
        # counts as one.
        tests_failed=$((tests_failed + ${n_failed:-1}))
    fi
    [ "$suite" = wine_signin_tests ] && stop_issuer
done

if [ ${#failed[@]} -gt 0 ]; then
    say "FAILED: ${failed[*]}"
    suite_line "$tests_passed" "$tests_failed"
    exit 1
fi
say "all ${#suites[@]} suites passed"
suite_line "$tests_passed" "$tests_failed"
exit 0

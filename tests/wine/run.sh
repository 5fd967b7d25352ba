#!/bin/bash
# run.sh: builds the Windows executables with mingw-w64 and runs their test suites under wine.
#
#   tests/wine/run.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-win at the repository root. Each run uses a fresh wine prefix
# in a temporary folder and removes it afterwards. Exit status: 0 when every suite passed,
# 1 when a suite failed, 2 when the build or the wine setup failed.
# Environment: JOBS (build jobs, default 2), WINE_GTEST_FILTER (passed to every suite as
# --gtest_filter), KEEP_WINEPREFIX=1 (leave the prefix behind for a look).
set -u

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$repo/build-win}
jobs=${JOBS:-2}

say() { printf '%s\n' "run.sh: $*" >&2; }

have_tools() {
    command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 &&
        { [ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null 2>&1; }
}

if ! have_tools; then
    say "installing mingw-w64 and wine"
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    $sudo_cmd apt-get install -y g++-mingw-w64-x86-64 wine64 >/dev/null ||
        { $sudo_cmd apt-get update >/dev/null && $sudo_cmd apt-get install -y g++-mingw-w64-x86-64 wine64 >/dev/null; }
    have_tools || { say "mingw-w64 or wine64 is still missing"; exit 2; }
fi

if [ -x /usr/lib/wine/wine64 ]; then
    wine=/usr/lib/wine/wine64
else
    wine=$(command -v wine64)
fi
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)

mkdir -p "$build"
cmake -S "$repo/tests/wine" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log" >&2; say "configure failed"; exit 2; }
rm -f "$build/configure.log"
cmake --build "$build" -j"$jobs" >"$build/build.log" 2>&1 ||
    { tail -n 60 "$build/build.log" >&2; say "build failed"; exit 2; }
rm -f "$build/build.log"

prefix=$(mktemp -d "${TMPDIR:-/tmp}/credvane-wine-XXXXXX")
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1
    if [ "${KEEP_WINEPREFIX:-0}" = 1 ]; then
        say "wine prefix kept at $prefix"
    else
        rm -rf "$prefix"
    fi
}
trap cleanup EXIT

say "creating the wine prefix"
"$wine" wineboot -i >/dev/null 2>&1
"$wineserver" -w >/dev/null 2>&1 || true
if [ ! -d "$prefix/drive_c/windows/system32" ]; then
    say "wineboot did not create a prefix at $prefix"
    exit 2
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
for suite in "${suites[@]}"; do
    exe=$build/bin/$suite.exe
    args=(--gtest_brief=1)
    [ -n "${WINE_GTEST_FILTER:-}" ] && args+=(--gtest_filter="$WINE_GTEST_FILTER")
    say "$suite"
    if [ "$suite" = wine_signin_tests ] && ! start_issuer; then
        failed+=("$suite")
        continue
    fi
    # wine hands a Windows exit code on as its low byte: zero only when the suite passed.
    if ! "$wine" "$exe" "${args[@]}"; then
        failed+=("$suite")
    fi
    [ "$suite" = wine_signin_tests ] && stop_issuer
done

if [ ${#failed[@]} -gt 0 ]; then
    say "FAILED: ${failed[*]}"
    exit 1
fi
say "all ${#suites[@]} suites passed"
exit 0

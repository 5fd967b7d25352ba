#!/usr/bin/env bash
# test.sh: every test of credvane, on a fresh machine too: installs what is missing
# (tools/deps.sh), then serves every suite from three builds:
#
#   build-release  g++, the default build (Release, static): the unit, sign-in and CGI tests,
#                  the packages (with the Windows zip), the web server configurations, the
#                  browser tests, the real Codex CLI (each version tests/codex/versions names)
#                  and, once everything else has ended, Lighthouse;
#   build-san      clang++ with AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer's
#                  coverage, at -O1: the unit, sign-in and CGI tests under the sanitizers, the
#                  CGI answers against the API's schema, and a short run of every fuzz target;
#   build-wine     mingw-w64: the Windows executables and their suites under wine.
#
# Both compilers treat warnings as errors. The two lanes run side by side: the sanitized one
# never starts a server on a fixed port, and the release lane's servers search from a port
# below the range the kernel hands out, so neither takes the other's.
#
#   tools/test.sh           everything; ends with the install time and the test time
#   tools/test.sh --quick   the unit and CGI tests on build-release, built incrementally;
#                           installs only what that build lacks
#
# Both runs first check every C++ file's form against .clang-format (tools/check-format.sh)
# and every relative link of the Markdown files (tools/check-links.js).
#
# Every suite ends with its line "NAME: N passed, M failed"; the last line adds them up:
# "credvane: N passed, M failed". Logs go to build-logs/. FUZZ_SECONDS (default 10) is each fuzz
# target's time. Exit status 0 only when nothing failed.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

quick=0
case "${1:-}" in
    --quick) quick=1 ;;
    "") ;;
    *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac

started=$(date +%s)
if [ $quick -eq 1 ]; then
    bash tools/deps.sh quick
else
    bash tools/deps.sh all
fi
installed=$(date +%s)

logs=$top/build-logs
rm -rf "$logs"
mkdir -p "$logs"
jobs=$(nproc)
# ccache when it is there: every configure below (the packages' and wine's too) takes it up
# from the environment. Paths are hashed relative to this checkout, and the build folder's
# own path not at all, so that a fresh clone elsewhere reuses what another clone compiled.
if command -v ccache >/dev/null 2>&1; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
    export CCACHE_BASEDIR="$top" CCACHE_NOHASHDIR=true
fi

# configure DIR CMAKE_ARGS...: configure and build DIR (all its targets), log in DIR.log.
build() {
    local dir=$1
    shift
    echo "== building $dir"
    if cmake -S . -B "$dir" -DCREDVANE_WERROR=ON "$@" >"$logs/$dir.log" 2>&1 &&
        cmake --build "$dir" -j"$jobs" >>"$logs/$dir.log" 2>&1; then
        return 0
    fi
    tail -n 40 "$logs/$dir.log"
    return 1
}

# suite LOG COMMAND...: runs one suite with its output in build-logs/LOG.log, and shows its
# last line, which must be "NAME: N passed, M failed". A suite that ends without that line
# failed.
suite() {
    local log=$logs/$1.log begin line
    shift
    begin=$(date +%s)
    "$@" >"$log" 2>&1 || true
    line=$(grep -E '^[^:]+: [0-9]+ passed, [0-9]+ failed$' "$log" | tail -n1 || true)
    if [ -z "$line" ]; then
        line="$(basename "$log" .log): 0 passed, 1 failed"
        echo "$line" >>"$log"
    fi
    echo "$line ($(($(date +%s) - begin)) s, build-logs/$(basename "$log"))"
    case "$line" in *", 0 failed") ;; *) failures "$log" ;; esac
}

# failures LOG: what failed, for a reader who has only this script's output (as CI keeps
# it): each failing case of a TAP log with its message, or gtest's and the runners' failure
# lines with what precedes them, else the log's end.
failures() {
    local log=$1 out
    out=$(awk '/^ *not ok /{n=40} n>0{print; n--; if (/^ *\.\.\.$/) n=0}' "$log")
    [ -n "$out" ] || out=$(grep -E -B12 '\[  FAILED  \]|^FAILED|FAILED:|Failure$' "$log" || true)
    [ -n "$out" ] || out=$(tail -n 30 "$log")
    printf '%s\n' "$out" | head -n 120 | sed 's/^/    | /'
}

# ctest_suite DIR LABEL: the CTest tests of that label in DIR, as "LABEL: N passed, M failed",
# from CTest's own summary ("...% tests passed, F tests failed out of T").
ctest_suite() {
    local dir=$1 label=$2 out total bad
    out=$(mktemp)
    ctest --test-dir "$dir" -L "^$label\$" -j"$jobs" --output-on-failure 2>&1 | tee "$out" || true
    total=$(sed -n 's/.* tests failed out of \([0-9]*\).*/\1/p' "$out" | tail -n1)
    bad=$(sed -n 's/.*, \([0-9]*\) tests failed out of.*/\1/p' "$out" | tail -n1)
    rm -f "$out"
    if [ -z "$total" ] || [ "$total" -eq 0 ]; then
        echo "$label: 0 passed, 1 failed"
    else
        echo "$label: $((total - bad)) passed, $bad failed"
    fi
}

release_args=(-DCMAKE_CXX_COMPILER=g++)
suite format bash tools/check-format.sh
suite docs node tools/check-links.js
if [ $quick -eq 1 ]; then
    build build-release "${release_args[@]}" || { echo "credvane: 0 passed, 1 failed"; exit 1; }
    for label in unit cgi; do
        suite "release-$label" ctest_suite build-release "$label"
    done
else
    build_failed=0
    build build-release "${release_args[@]}" || build_failed=1

    # The sanitized lane: its own build, its tests, the fuzz targets.
    lane_san() {
        if build build-san -DCMAKE_CXX_COMPILER=clang++ -DCREDVANE_SANITIZE=ON -DCREDVANE_FUZZ=ON \
            -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g -O1"; then
            for label in unit signin cgi; do
                suite "san-$label" ctest_suite build-san "$label"
            done
            # The answers the CGI tests got, against docs/api.schema.json.
            suite san-api node tests/api/validate.js build-san/answers
            suite san-fuzz bash tests/fuzz/run.sh --no-build -b "$top/build-san" "${FUZZ_SECONDS:-10}"
        else
            echo "build-san: 0 passed, 1 failed" >"$logs/san-build.log"
        fi
    }

    # The release lane: everything that runs the default build.
    lane_release() {
        if [ $build_failed -eq 1 ]; then
            echo "build-release: 0 passed, 1 failed" >"$logs/release-build.log"
            return
        fi
        for label in unit signin cgi; do
            suite "release-$label" ctest_suite build-release "$label"
        done
        suite package bash tests/package/run.sh build-release build-win-pkg -- \
            -DCREDVANE_WERROR=ON "${release_args[@]}"
        # Below the kernel's ephemeral ports (32768 and up), where the issuers and the other
        # lane's servers listen.
        export CV_PORT_FIRST=$((21000 + RANDOM % 5000))
        suite hosts-cli-env bash tests/hosts/cli_env.sh build-release
        suite hosts bash tests/hosts/run.sh build-release
        # The browser tests in two halves of about the same length, side by side: each half's
        # waits on the node and the issuer leave room for the other. Each has its own issuer
        # and hosts (tests of one half change accounts and issuer settings that the other
        # half's must not see).
        local half=(tests/browser/person.test.js tests/browser/states.test.js tests/browser/theme.test.js)
        local other=()
        for f in tests/browser/*.test.js tests/panel/*.test.js; do
            [[ " ${half[*]} " == *" $f "* ]] || other+=("$f")
        done
        CV_PORT_FIRST=$((CV_PORT_FIRST + 1000)) suite browser-1 bash tests/browser/run.sh build-release "${half[@]}" &
        suite browser-2 bash tests/browser/run.sh build-release "${other[@]}"
        wait $!
        for v in $(sed 's/#.*//' tests/codex/versions); do
            suite "codex-$v" env CODEX_VERSION="$v" bash tests/codex/run.sh build-release
        done
    }

    lane_release >"$logs/lane-release.out" 2>&1 &
    lane_san >"$logs/lane-san.out" 2>&1 &
    # The Windows build and its suites under wine need neither lane's build: they take the
    # place of whichever lane ends first.
    wait -n || true
    suite wine bash tests/wine/run.sh "$top/build-wine" >"$logs/lane-wine.out" 2>&1
    wait || true
    cat "$logs/lane-release.out" "$logs/lane-san.out" "$logs/lane-wine.out"
    # Lighthouse measures the page's speed: alone, once both lanes have ended.
    if [ $build_failed -eq 0 ]; then
        suite quality bash tests/quality/run.sh build-release
    fi
fi
finished=$(date +%s)

# Every suite's line, added up.
passed=0
failed=0
echo
echo "== suites"
for log in "$logs"/*.log; do
    line=$(grep -E '^[^:]+: [0-9]+ passed, [0-9]+ failed$' "$log" | tail -n1 || true)
    [ -n "$line" ] || continue
    printf '  %-16s %s\n' "$(basename "$log" .log)" "$line"
    read -r p f < <(sed -E 's/.*: ([0-9]+) passed, ([0-9]+) failed$/\1 \2/' <<<"$line")
    passed=$((passed + p))
    failed=$((failed + f))
done
echo "install: $((installed - started)) s; builds and tests: $((finished - installed)) s"
echo "credvane: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

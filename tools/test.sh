#!/usr/bin/env bash
# test.sh: every test of credvane on a fresh machine: installs what the layers need,
# builds with AddressSanitizer and UndefinedBehaviorSanitizer, runs the unit and CGI tests,
# a short run of every fuzz target, the browser tests, the real Codex CLI against the stand-in
# issuer, the README's web server configurations and the Windows build under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

need=()
for pair in cmake:cmake g++:g++ clang++:clang pkg-config:pkg-config lighttpd:lighttpd \
            chromium:chromium node:nodejs npm:npm x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64 \
            zbarimg:zbar-tools curl:curl apache2:apache2 nginx:nginx fcgiwrap:fcgiwrap \
            unzip:unzip readelf:binutils ip:iproute2 lintian:lintian openssl:openssl \
            java:default-jre-headless; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || need+=("${pair#*:}")
done
# wine64 keeps its loader in /usr/lib/wine, off PATH.
[ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null 2>&1 || need+=(wine64)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
# The sign-in CLIs: libcurl (OpenSSL flavour) and nlohmann/json.
[ -f /usr/include/x86_64-linux-gnu/curl/curl.h ] || [ -f /usr/include/curl/curl.h ] || need+=(libcurl4-openssl-dev)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
# libFuzzer's runtime, which clang only recommends.
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
if [ ${#need[@]} -gt 0 ]; then
    echo "installing: ${need[*]}"
    # The web servers must not start as services on install (Apache and nginx would fight
    # for port 80): the tests start their own on free ports. A policy that refuses every
    # start, for the install only.
    policy=/usr/sbin/policy-rc.d
    made_policy=
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        trap 'rm -f "$policy"' EXIT
        made_policy=1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
    if [ -n "$made_policy" ]; then
        rm -f "$policy"
        trap - EXIT
    fi
fi

passed=0
failed=0
count() {  # count NAME PASSED FAILED
    echo "== $1: $2 passed, $3 failed"
    passed=$((passed + ${2:-0}))
    failed=$((failed + ${3:-1}))
}

# Unit and CGI tests, under the sanitizers.
build=build-test
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCREDVANE_SANITIZE=ON -DCREDVANE_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
# The CGI tests keep every answer credvane gives them, for the check against the API's
# description below.
answers=$top/$build/answers
rm -rf "$answers"
mkdir -p "$answers"
set +e
CREDVANE_ANSWER_LOG=$answers ctest --test-dir "$build" -j"$(nproc)" --output-on-failure >"$build/ctest.log" 2>&1
set -e
tail -n 30 "$build/ctest.log"
total=$(sed -n 's/.* tests failed out of \([0-9]*\).*/\1/p' "$build/ctest.log" | tail -n1)
bad=$(sed -n 's/.*, \([0-9]*\) tests failed out of.*/\1/p' "$build/ctest.log" | tail -n1)
count "unit and CGI" $(( ${total:-0} - ${bad:-0} )) "${bad:-1}"

# Those answers against docs/api.schema.json, with a JSON Schema validator (Ajv).
set +e
if [ -f node_modules/ajv/package.json ] || npm ci --no-audit --no-fund --loglevel=error >/dev/null; then
    node tests/api/validate.js "$answers" >"$build/api.log" 2>&1
else
    echo "api: 0 passed, 1 failed" >"$build/api.log"
fi
set -e
cat "$build/api.log"
count "API answers" "$(sed -n 's/^api: \([0-9]*\) passed.*/\1/p' "$build/api.log" | tail -n1)" \
    "$(sed -n 's/^api: [0-9]* passed, \([0-9]*\) failed.*/\1/p' "$build/api.log" | tail -n1 | grep . || echo 1)"

# The builds an operator and a packager make, warnings as errors, with their tests: the
# default build (Release, static) with g++ and with clang++. Then the packages of the first,
# installed into a temporary root and run, and the Windows zip from the toolchain file alone.
for pair in build-release:g++ build-clang:clang++; do
    dir=${pair%%:*}
    total=0 bad=
    mkdir -p "$dir"
    if cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER="${pair#*:}" -DCREDVANE_WERROR=ON >"$dir/build.log" 2>&1 &&
        cmake --build "$dir" -j"$(nproc)" >>"$dir/build.log" 2>&1; then
        ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure >"$dir/ctest.log" 2>&1 || true
        tail -n 5 "$dir/ctest.log"
        total=$(sed -n 's/.* tests failed out of \([0-9]*\).*/\1/p' "$dir/ctest.log" | tail -n1)
        bad=$(sed -n 's/.*, \([0-9]*\) tests failed out of.*/\1/p' "$dir/ctest.log" | tail -n1)
    else
        tail -n 40 "$dir/build.log"
    fi
    count "release, ${pair#*:}" $(( ${total:-0} - ${bad:-0} )) "${bad:-1}"
done
set +e
bash tests/package/run.sh build-release build-win-pkg -- -DCREDVANE_WERROR=ON 2>&1 | tee "$build/package.log"
set -e
count "packages" "$(sed -n 's/^package: \([0-9]*\) passed.*/\1/p' "$build/package.log" | tail -n1)" \
    "$(sed -n 's/^package: [0-9]* passed, \([0-9]*\) failed.*/\1/p' "$build/package.log" | tail -n1)"

# A short run of every fuzz target (clang, libFuzzer), after a replay of its corpus.
set +e
bash tests/fuzz/run.sh -b "$top/build-fuzz" "${FUZZ_SECONDS:-10}" 2>&1 | tee "$build/fuzz.log"
set -e
count "fuzz" "$(sed -n 's/^fuzz: \([0-9]*\) passed.*/\1/p' "$build/fuzz.log" | tail -n1)" \
    "$(sed -n 's/^fuzz: [0-9]* passed, \([0-9]*\) failed.*/\1/p' "$build/fuzz.log" | tail -n1)"

# What a CLI receives through a real CGI host (lighttpd on 127.0.0.1).
set +e
bash tests/hosts/cli_env.sh "$build" 2>&1 | tee "$build/cli_env.log"
set -e
count "CLI environment through the host" \
    "$(sed -n 's/^cli_env: \([0-9]*\) passed.*/\1/p' "$build/cli_env.log" | tail -n1)" \
    "$(sed -n 's/^cli_env: [0-9]* passed, \([0-9]*\) failed.*/\1/p' "$build/cli_env.log" | tail -n1 | grep . || echo 1)"

# The panel in Chromium, through a real CGI host (lighttpd) on 127.0.0.1.
set +e
bash tests/browser/run.sh "$build" 2>&1 | tee "$build/browser.log"
set -e
count "browser" "$(sed -n 's/^# pass \([0-9]*\)$/\1/p' "$build/browser.log" | tail -n1)" \
    "$(sed -n 's/^# fail \([0-9]*\)$/\1/p' "$build/browser.log" | tail -n1 | grep . || echo 1)"

# What independent checkers say of the panel as the default build serves it: Lighthouse
# (mobile) and the Nu HTML Checker.
set +e
bash tests/quality/run.sh build-release 2>&1 | tee "$build/quality.log"
set -e
count "quality" "$(sed -n 's/^quality: \([0-9]*\) passed.*/\1/p' "$build/quality.log" | tail -n1)" \
    "$(sed -n 's/^quality: [0-9]* passed, \([0-9]*\) failed.*/\1/p' "$build/quality.log" | tail -n1 | grep . || echo 1)"

# The real Codex CLI (the pinned npm package) against the stand-in issuer, and credvane reading
# and writing what it reads, in a network namespace with only a loopback device.
set +e
bash tests/codex/run.sh "$build" 2>&1 | tee "$build/codex.log"
set -e
count "real Codex CLI" "$(sed -n 's/^# pass \([0-9]*\)$/\1/p' "$build/codex.log" | tail -n1)" \
    "$(sed -n 's/^# fail \([0-9]*\)$/\1/p' "$build/codex.log" | tail -n1 | grep . || echo 1)"

# The README's web server configurations (lighttpd, Apache, nginx with fcgiwrap) on 127.0.0.1.
set +e
bash tests/hosts/run.sh "$build" 2>&1 | tee "$build/hosts.log"
set -e
count "hosts" "$(sed -n 's/^hosts: \([0-9]*\) passed.*/\1/p' "$build/hosts.log" | tail -n1)" \
    "$(sed -n 's/^hosts: [0-9]* passed, \([0-9]*\) failed.*/\1/p' "$build/hosts.log" | tail -n1)"

# The Windows executable, cross-built with mingw-w64, under wine.
set +e
bash tests/wine/run.sh "$top/build-win" 2>&1 | tee build-test/wine.log
wine_rc=${PIPESTATUS[0]}
set -e
wine_passed=$(sed -n 's/.*\[  PASSED  \] \([0-9]*\) test.*/\1/p' build-test/wine.log | awk '{s+=$1} END {print s+0}')
wine_failed=$(sed -n 's/.*\[  FAILED  \] \([0-9]*\) test.*/\1/p' build-test/wine.log | awk '{s+=$1} END {print s+0}')
[ "$wine_rc" -eq 0 ] || wine_failed=$(( ${wine_failed:-0} > 0 ? wine_failed : 1 ))
count "windows (wine)" "${wine_passed:-0}" "${wine_failed:-0}"

echo "credvane: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

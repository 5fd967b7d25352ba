#!/usr/bin/env bash
# deps.sh: installs what the tests and the demo need, and nothing when it is all there. The
# one place that installs: the test runners only say what is missing.
#
#   tools/deps.sh [all|quick|demo]
#
#   all     (default) every suite of tools/test.sh: both compilers and libFuzzer's runtime,
#           the web servers, Chromium, wine and mingw-w64, the packagers' tools, the node
#           packages of package-lock.json, and every Codex CLI version tests/codex/versions
#           names
#   quick   what tools/test.sh --quick needs: g++, CMake, GoogleTest, the sign-in CLIs'
#           libraries, clang-format, node and curl
#   demo    what tools/demo.sh needs
#
# System packages come from apt-get (run it as root); the node packages go to node_modules/,
# each extra Codex CLI version to build-codex/<version>/. Exit status 0 when all is in place.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
profile="${1:-all}"
case "$profile" in
    all | quick | demo) ;;
    *) echo "usage: $0 [all|quick|demo]" >&2; exit 2 ;;
esac

need=()
want() {  # want PACKAGE TEST...: PACKAGE is needed unless TEST succeeds
    local pkg="$1"
    shift
    "$@" >/dev/null 2>&1 || need+=("$pkg")
}
has() { command -v "$1"; }
want cmake has cmake
want g++ has g++
want pkg-config has pkg-config
want curl has curl
# A rebuild compiles only what changed, in any clone (tools/test.sh points it at the clone).
want ccache has ccache
# The form of the C++ files is checked in every run, quick or not.
want clang-format has clang-format
want nodejs has node
want libcurl4-openssl-dev dpkg -s libcurl4-openssl-dev
want nlohmann-json3-dev test -f /usr/include/nlohmann/json.hpp
if [ "$profile" = demo ]; then
    want lighttpd has lighttpd
else
    want libgtest-dev test -f /usr/include/gtest/gtest.h
    want libgmock-dev test -f /usr/include/gmock/gmock.h
fi
if [ "$profile" = all ]; then
    want clang has clang++
    # libFuzzer's runtime, which clang only recommends.
    want libclang-rt-14-dev dpkg -s libclang-rt-14-dev
    want npm has npm
    want lighttpd has lighttpd
    want chromium test -x /usr/bin/chromium
    want zbar-tools has zbarimg
    want apache2 test -x /usr/sbin/apache2
    want nginx test -x /usr/sbin/nginx
    want fcgiwrap test -x /usr/sbin/fcgiwrap
    want unzip has unzip
    want binutils has readelf
    want iproute2 has ip
    want lintian has lintian
    want openssl has openssl
    want default-jre-headless has java
    want g++-mingw-w64-x86-64 has x86_64-w64-mingw32-g++-posix
    # wine64 keeps its loader in /usr/lib/wine, off PATH.
    want wine64 bash -c 'test -x /usr/lib/wine/wine64 || command -v wine64'
fi

if [ ${#need[@]} -gt 0 ]; then
    echo "deps.sh: installing ${need[*]}"
    # The web servers must not start as services on install (Apache and nginx would fight
    # for port 80): the tests start their own on free ports. A policy that refuses every
    # start, for the install only.
    policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        trap 'rm -f "$policy"' EXIT
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

[ "$profile" = all ] || exit 0

# The node packages exactly as package-lock.json pins them; again only when one differs.
cd "$root"
if ! node -e '
    const lock = require("./package-lock.json").packages;
    for (const [p, v] of Object.entries(lock)) {
        if (!p.startsWith("node_modules/") || v.optional) continue;
        const have = require("./" + p + "/package.json").version;
        if (have !== v.version) process.exit(1);
    }' 2>/dev/null; then
    echo "deps.sh: npm ci"
    npm ci --no-audit --no-fund --loglevel=error >/dev/null
fi

# The Codex CLI versions the real-CLI suite runs against. The one package-lock.json pins is in
# node_modules/ already; any other goes to a folder of its own, so that the lock stays as it is.
pinned="$(node -p 'require("./package-lock.json").packages["node_modules/@openai/codex"].version')"
for v in $(sed 's/#.*//' "$root/tests/codex/versions"); do
    [ "$v" != "$pinned" ] || continue
    dir="$root/build-codex/$v"
    if [ "$(node -p "try { require('$dir/node_modules/@openai/codex/package.json').version } catch { '' }")" != "$v" ]; then
        echo "deps.sh: @openai/codex@$v"
        mkdir -p "$dir"
        npm install --prefix "$dir" --no-save --no-package-lock --no-audit --no-fund \
            --loglevel=error "@openai/codex@$v" >/dev/null
    fi
done

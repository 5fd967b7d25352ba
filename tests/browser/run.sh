#!/usr/bin/env bash
# run.sh: runs the browser tests of the panel: starts the stand-in issuer and three local CGI
# hosts (lighttpd on 127.0.0.1) in front of the built credvane and its login and refresh CLIs,
# which sign in at that issuer, drives Chromium through them with Playwright, and stops them
# again. The node tests of the panel's own modules (tests/panel/*.test.js) run with them.
#
#   tests/browser/run.sh BUILD_DIR [TEST_FILE...]
#   (default: every tests/browser/*.test.js and tests/panel/*.test.js)
#
# The build dir must hold credvane, credvane-login and credvane-refresh. Screenshots and the
# accessibility findings go to artifacts/ at the top of the checkout (CV_ARTIFACTS moves it).
#
# Hosts: "main" (no node password), "pw" (with a node password), and "short" (for the tests that
# let codes die). Each has a home of its own with two named accounts. All sign in at one
# issuer, whose codes poll every second.
set -euo pipefail

# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [TEST_FILE...]" >&2
    exit 2
fi
suite_begin browser
suite_build "$1"
shift

suite_need lighttpd
suite_need curl
suite_need chromium test -x /usr/bin/chromium
suite_need node
# The QR code tests read the codes back with zbarimg.
suite_need zbarimg
suite_need "the node packages" test -f "$root/node_modules/playwright-core/package.json"
suite_needs_met

cd "$root"
suite_work browser
# shellcheck source=../../tools/lighttpd/host.sh
source "$root/tools/lighttpd/host.sh"
# shellcheck source=../../tools/issuer/issuer.sh
source "$root/tools/issuer/issuer.sh"

cv_issuer_start "$work/issuer" --interval 1
suite_track "$CV_ISSUER_PID"
export CV_ISSUER_URL

password="node-pass-$RANDOM"
start_host() {
    local name="$1"
    shift
    cv_host_home "$work/$name/home"
    cv_host_start "$build" "$work/$name/home" "$work/$name/state" "$@"
    suite_track "$CV_HOST_PID"
}

start_host main
export CV_URL_MAIN="http://127.0.0.1:$CV_HOST_PORT" CV_HOME_MAIN="$work/main/home"
start_host pw "$password"
export CV_URL_PW="http://127.0.0.1:$CV_HOST_PORT" CV_PASSWORD="$password"
start_host short
export CV_URL_SHORT="http://127.0.0.1:$CV_HOST_PORT" CV_HOME_SHORT="$work/short/home"
export CV_BUILD="$build"
export CV_ARTIFACTS="${CV_ARTIFACTS:-$root/artifacts}"
mkdir -p "$CV_ARTIFACTS"

if [ $# -gt 0 ]; then
    files=("$@")
else
    files=(tests/browser/*.test.js tests/panel/*.test.js)
fi
# One file at a time: the machine is small and each file runs its own browser. node's own
# summary ("# pass N", "# fail N") becomes the suite's line.
suite_node_test node --test --test-concurrency=1 "${files[@]}"

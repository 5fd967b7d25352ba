#!/usr/bin/env bash
# demo.sh: builds credvane and runs it behind a local web server with the stand-in login and
# refresh tools, so a person can sign in end to end in a browser. Stops on Ctrl+C.
#
#   tools/demo.sh            build (Release, build-demo) and serve on 127.0.0.1
#   DEMO_PORT=8088           the first port to try (default 8088)
#   DEMO_PASSWORD=secret     protect the node with a password (the page then needs ?pwd=secret)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-demo"

# A fresh machine gets its build tools and web server here.
need=()
for pair in cmake:cmake g++:g++ lighttpd:lighttpd; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || need+=("${pair#*:}")
done
if [ ${#need[@]} -gt 0 ]; then
    echo "demo.sh: installing ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCREDVANE_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target credvane standin-login standin-refresh standin-device

work="$(mktemp -d -t credvane-demo.XXXXXX)"
# shellcheck source=lighttpd/host.sh
source "$root/tools/lighttpd/host.sh"
cleanup() {
    set +e
    cv_host_stop
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

cv_host_home "$work/home"
CV_PORT_FIRST="${DEMO_PORT:-8088}" cv_host_start "$build" "$work/home" "$work/state" \
    "${DEMO_PASSWORD:-}"
base="http://127.0.0.1:$CV_HOST_PORT"
pwd_q=""
if [ -n "${DEMO_PASSWORD:-}" ]; then
    pwd_q="?pwd=${DEMO_PASSWORD}"
fi

cat <<EOF

credvane demo is running.

  Panel:          $base/credvane$pwd_q
  Through a hub:  $base/plugins?plugin=codex&node=demo${DEMO_PASSWORD:+&pwd=$DEMO_PASSWORD}
  Framed:         $base/embed.html${pwd_q}
  Verification:   $base/device

  Node home:      $work/home  (named accounts "work" and "archive" in .codex/accounts)
  Server logs:    $work/state

Sign in: open the panel, press "Start Codex Login", press "Copy Code & Open OpenAI" (or
open the link shown), approve the code on the verification page, and watch the panel turn
to "Logged In". Then try "Refresh Token Now" and the "Select" buttons of the named accounts.
Approving from a shell works too:
  HOME=$work/home $build/tools/standin-login --approve CODE

Press Ctrl+C to stop.
EOF

wait "$CV_HOST_PID" || true

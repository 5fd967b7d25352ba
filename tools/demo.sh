#!/usr/bin/env bash
# demo.sh: builds credvane with its login and refresh CLIs and runs it behind a local web server,
# signing in at the stand-in issuer (tools/issuer), so a person can sign in end to end in a
# browser exactly as on a node: the panel's link opens the issuer's verification page.
# Nothing leaves the machine. Stops on Ctrl+C.
#
#   tools/demo.sh            build (Release, build-demo) and serve on 127.0.0.1
#   DEMO_PORT=8088           the first port to try for the panel (default 8088)
#   DEMO_PASSWORD=secret     protect the node with a password (the page then needs ?pwd=secret)
#   DEMO_INTERVAL=5          the poll interval the issuer hands out, in seconds
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-demo"

# A fresh machine gets its build tools, the libraries of the CLIs, the web server and node (for
# the stand-in issuer) here.
bash "$root/tools/deps.sh" demo

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCREDVANE_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target credvane credvane-login credvane-refresh

work="$(mktemp -d -t credvane-demo.XXXXXX)"
# shellcheck source=lighttpd/host.sh
source "$root/tools/lighttpd/host.sh"
# shellcheck source=issuer/issuer.sh
source "$root/tools/issuer/issuer.sh"
cleanup() {
    set +e
    cv_host_stop
    cv_issuer_stop
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

cv_issuer_start "$work/state" --interval "${DEMO_INTERVAL:-5}"

# The node's home, with two named accounts signed in at the issuer through the login CLI, as a
# person would have done: "work" for the next hour, "archive" with a token that ran out
# yesterday (its refresh token still works).
home="$work/home"
cv_host_home "$home"
login="$(cv_build_tool "$build" credvane-login)"
demo_sign_in() {  # demo_sign_in NAME TOKEN_LIFETIME
    local answer code
    cv_issuer_call /test/config "{\"token_lifetime\":$2}" >/dev/null
    answer="$(HOME="$home" CREDVANE_ISSUER="$CV_ISSUER_URL" "$login" --start --force --name "$1")"
    code="$(node -e 'console.log(JSON.parse(process.argv[1]).user_code)' "$answer")"
    cv_issuer_call /test/approve "{\"user_code\":\"$code\",\"account_id\":\"acct-$1\",\"email\":\"$1@example.com\"}" >/dev/null
    answer="$(HOME="$home" CREDVANE_ISSUER="$CV_ISSUER_URL" "$login" --poll --name "$1")"
    case "$answer" in
        *'"state":"done"'*) ;;
        *) echo "demo.sh: signing in the account $1 failed: $answer" >&2; return 1 ;;
    esac
}
demo_sign_in work 3600
demo_sign_in archive -86400
cv_issuer_call /test/config '{"token_lifetime":3600}' >/dev/null

CV_PORT_FIRST="${DEMO_PORT:-8088}" cv_host_start "$build" "$home" "$work/state" \
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
  Issuer:         $CV_ISSUER_URL  (verification page: $CV_ISSUER_URL/codex/device)

  Node home:      $home  (named accounts "work" and "archive" in .codex/accounts)
  Logs:           $work/state  (issuer.log: every call the CLIs made to the issuer)

Sign in: open the panel, press "Start Codex Login", press "Copy Code & Open Sign-in Page" (or
open the link shown), paste the code on the issuer's page, press Approve, and watch the panel
turn to "Logged In". Then try "Refresh Token Now" and the "Select" buttons of the named
accounts. Deciding from a shell works too:
  curl -s -X POST -H 'Content-Type: application/json' -d '{"user_code":"CODE"}' $CV_ISSUER_URL/test/approve
  (or /test/deny)

Press Ctrl+C to stop.
EOF

wait "$CV_HOST_PID" || true

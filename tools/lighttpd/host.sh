# host.sh: starts and stops the local CGI host of credvane (lighttpd on 127.0.0.1) for the demo
# and the browser tests. Source it; it defines functions only, and takes suite_stop from
# tests/lib.sh.
#
#   cv_host_home DIR                  makes DIR a node home with two named accounts
#   cv_host_start BUILD HOME STATE [PASSWORD]
#                                     starts lighttpd on a free port; sets CV_HOST_PORT and
#                                     CV_HOST_PID
#   cv_host_stop                      stops the lighttpd that cv_host_start started
#   cv_build_tool BUILD NAME          prints the path of a program of the build
#
# credvane runs the build's credvane-login and credvane-refresh, which sign in at the issuer
# CV_ISSUER_URL names (the stand-in issuer, tools/issuer/issuer.sh, started by the caller).
# CV_LOGIN_BIN puts another login CLI in place. CV_PORT_FIRST picks where the port search begins.

CV_LIGHTTPD_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=../../tests/lib.sh
source "$CV_LIGHTTPD_DIR/../../tests/lib.sh" # suite_stop

cv_b64url() {
    base64 -w0 | tr '+/' '-_' | tr -d '='
}

# One credential file in the layout the credential scan reads, with an unsigned JWT whose
# "exp" is the given time.
cv_creds_file() {
    local path="$1" id="$2" exp="$3" refreshed="$4"
    local head payload
    head="$(printf '{"alg":"none","typ":"JWT"}' | cv_b64url)"
    payload="$(printf '{"sub":"%s","exp":%s}' "$id" "$exp" | cv_b64url)"
    mkdir -p "$(dirname "$path")"
    cat >"$path" <<EOF
{
  "OPENAI_API_KEY": null,
  "tokens": {
    "id_token": "$head.$payload.c2ln",
    "access_token": "$head.$payload.c2ln",
    "refresh_token": "rt-$id",
    "account_id": "$id"
  },
  "last_refresh": "$(date -u -d "@$refreshed" +%Y-%m-%dT%H:%M:%SZ)"
}
EOF
    chmod 600 "$path"
}

cv_host_home() {
    local home="$1" now
    now="$(date +%s)"
    mkdir -p "$home/.codex/accounts" "$home/.claude/.login-pending" "$home/.claude/quenlo-env"
    # "work" is signed in for most of an hour; "archive" expired yesterday.
    cv_creds_file "$home/.codex/accounts/work.json" "acct-work" $((now + 3000)) $((now - 600))
    cv_creds_file "$home/.codex/accounts/archive.json" "acct-archive" $((now - 86400)) \
        $((now - 90000))
}

cv_port_free() {
    ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# The sign-in programs are built in the build's signin/ folder; an install puts them beside
# credvane.
cv_build_tool() {
    local f
    for f in "$1/$2" "$1/signin/$2"; do
        if [ -x "$f" ]; then
            echo "$f"
            return 0
        fi
    done
    echo "host.sh: $2 is not in $1; build the project first" >&2
    return 1
}

cv_host_start() {
    local build="$1" home="$2" state="$3" password="${4:-}"
    local port="${CV_PORT_FIRST:-$((20000 + RANDOM % 20000))}" tries=0
    local login refresh
    build="$(cd "$build" && pwd)"
    mkdir -p "$state"
    cv_build_tool "$build" credvane >/dev/null || return 1
    login="$(cv_build_tool "$build" credvane-login)" || return 1
    refresh="$(cv_build_tool "$build" credvane-refresh)" || return 1
    if [ -z "${CV_ISSUER_URL:-}" ]; then
        echo "host.sh: CV_ISSUER_URL is not set; start the stand-in issuer first" >&2
        return 1
    fi
    while [ $tries -lt 40 ]; do
        tries=$((tries + 1))
        if ! cv_port_free "$port"; then
            port=$((port + 1))
            continue
        fi
        CV_PORT="$port" CV_BUILD="$build" CV_HOME="$home" CV_STATE="$state" \
            CV_WWW="$CV_LIGHTTPD_DIR/www" CV_BOT_PASSWORD="$password" \
            CV_LOGIN_BIN="${CV_LOGIN_BIN:-$login}" CV_REFRESH_BIN="$refresh" \
            CV_ISSUER="$CV_ISSUER_URL" \
            lighttpd -D -f "$CV_LIGHTTPD_DIR/credvane.conf" >>"$state/lighttpd.out" 2>&1 &
        CV_HOST_PID=$!
        # Until it listens or dies; the bound of some minutes only ends a broken start (five
        # seconds could pass on a busy machine before lighttpd listens).
        local waited=0
        while [ $waited -lt 3000 ]; do
            if ! kill -0 "$CV_HOST_PID" 2>/dev/null; then
                break
            fi
            if ! cv_port_free "$port"; then
                CV_HOST_PORT="$port"
                return 0
            fi
            sleep 0.1
            waited=$((waited + 1))
        done
        # It died (most likely the port was taken in between) or never listened: next port.
        suite_stop "$CV_HOST_PID"
        port=$((port + 1))
    done
    echo "host.sh: lighttpd did not start; see $state/error.log and $state/lighttpd.out" >&2
    return 1
}

# It may be gone already (Ctrl+C reaches it too): that is no error of the caller's.
cv_host_stop() {
    suite_stop "${CV_HOST_PID:-}"
    CV_HOST_PID=""
}

#!/usr/bin/env bash
# api-examples.sh: runs credvane through every kind of answer a hub meets, with credvane-login
# and credvane-refresh signing in at the stand-in issuer on 127.0.0.1, and prints each answer
# as the web server receives it (CR LF shown as LF). docs/api.md takes its examples from here.
#
#   tools/api-examples.sh BUILD_DIR [LOGIN_CLI REFRESH_CLI]
#
# BUILD_DIR holds a built credvane (and signin/credvane-login, signin/credvane-refresh unless
# the CLIs are given). Needs node for the stand-in issuer, and curl.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:?usage: api-examples.sh BUILD_DIR [LOGIN_CLI REFRESH_CLI]}" && pwd)"
login="${2:-$build/signin/credvane-login}"
refresh="${3:-$build/signin/credvane-refresh}"
exe="$build/credvane"

work="$(mktemp -d -t credvane-examples.XXXXXX)"
# shellcheck source=issuer/issuer.sh
source "$root/tools/issuer/issuer.sh"
trap 'cv_issuer_stop; rm -rf "$work"' EXIT
cv_issuer_start "$work/state"
# A short poll interval, so that the login completes without a long wait.
cv_issuer_call /test/config '{"interval":1}' >/dev/null

home="$work/home"
mkdir -p "$home/.codex" "$home/.claude"

# answer TITLE VAR=VALUE...: one request, its environment as a web server would give it.
answer() {
    local title="$1"
    shift
    printf '### %s\n\n' "$title"
    env -i PATH=/usr/bin:/bin HOME="$home" CODEX_LOGIN_BIN="$login" CODEX_REFRESH_BIN="$refresh" \
        CREDVANE_ISSUER="$CV_ISSUER_URL" GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET "$@" "$exe" |
        tr -d '\r' || true  # credvane exits 1 for some failures: they are examples too
    printf '\n'
}
code() { sed -n 's/.*"user_code":"\([^"]*\)".*/\1/p'; }

answer "status, nothing signed in" QUERY_STRING=action=status
start=$(answer "start" QUERY_STRING=action=start)
printf '%s\n\n' "$start"
answer "poll, not approved yet" QUERY_STRING=action=poll
answer "status, a login open" QUERY_STRING=action=status
cv_issuer_call /test/approve "{\"user_code\":\"$(code <<<"$start")\"}" >/dev/null
# The login CLI asks the issuer at most once per interval: poll until it has.
for _ in $(seq 1 30); do
    done_answer=$(answer "poll, approved" QUERY_STRING=action=poll)
    case "$done_answer" in *'"state":"done"'*) break ;; esac
    sleep 0.5
done
printf '%s\n\n' "$done_answer"
answer "start, already signed in" QUERY_STRING=action=start
# A token renewed within the second it was issued would expire no later: a refresh must
# wait for the clock to move on to move the expiry.
sleep 1.1
answer "refresh" QUERY_STRING=action=refresh
answer "start with force" 'QUERY_STRING=action=start&force=1' >/dev/null
answer "cancel" QUERY_STRING=action=cancel
named=$(answer "start, a named account" 'QUERY_STRING=action=start&account=ops')
cv_issuer_call /test/approve "{\"user_code\":\"$(code <<<"$named")\"}" >/dev/null
for _ in $(seq 1 30); do
    case "$(answer "poll" 'QUERY_STRING=action=poll&account=ops')" in *'"state":"done"'*) break ;; esac
    sleep 0.5
done
denied=$(answer "start, another named account" 'QUERY_STRING=action=start&account=ci')
cv_issuer_call /test/deny "{\"user_code\":\"$(code <<<"$denied")\"}" >/dev/null
for _ in $(seq 1 30); do
    failed=$(answer "poll, denied" 'QUERY_STRING=action=poll&account=ci')
    case "$failed" in *'"state":"failed"'*) break ;; esac
    sleep 0.5
done
printf '%s\n\n' "$failed"
answer "accounts" QUERY_STRING=action=accounts
answer "logout, a named account" 'QUERY_STRING=action=logout&account=ops'
answer "logout, an invalid account name" 'QUERY_STRING=action=logout&account=.ops'
answer "refresh, an account without credentials" 'QUERY_STRING=action=refresh&account=ci'
answer "start, no login CLI" QUERY_STRING=action=start CODEX_LOGIN_BIN=/nonexistent/credvane-login
answer "status, no login CLI" QUERY_STRING=action=status CODEX_LOGIN_BIN=/nonexistent/credvane-login
answer "cancel, no login CLI" QUERY_STRING=action=cancel CODEX_LOGIN_BIN=/nonexistent/credvane-login
answer "an unknown action" QUERY_STRING=action=login
answer "a wrong node password" QUERY_STRING=action=status BOT_PASSWORD=secret HTTP_X_BOT_PASSWORD=guess
answer "another site's page" QUERY_STRING=action=start HTTP_SEC_FETCH_SITE=cross-site

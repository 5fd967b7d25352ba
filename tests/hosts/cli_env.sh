#!/usr/bin/env bash
# cli_env.sh: what a CLI receives through a real CGI host. lighttpd on 127.0.0.1 runs
# credvane with a node password; the request carries the password in the query, in the
# X-Bot-Password header and as a Bearer token; the login CLI in place is credvane-login,
# wrapped so that it keeps a copy of its environment and argv. Not one byte sequence of the password, and none of
# the request's variables, may be in what it saw.
#
#   tests/hosts/cli_env.sh BUILD_DIR
#
# Prints "cli_env: N passed, M failed" last; exit status 0 only when nothing failed.
set -euo pipefail

# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
suite_begin cli_env
suite_build "$1"
suite_need lighttpd
suite_need node
suite_needs_met

suite_work cli-env
# shellcheck source=../../tools/lighttpd/host.sh
source "$root/tools/lighttpd/host.sh"
# shellcheck source=../../tools/issuer/issuer.sh
source "$root/tools/issuer/issuer.sh"

# The login CLI, wrapped: every run appends its environment and argv, then the CLI answers.
seen="$work/seen"
login="$(cv_build_tool "$build" credvane-login)"
cat >"$work/login" <<SCRIPT
#!/bin/sh
env >> '$seen'
printf '%s\n' "\$0" "\$@" >> '$seen'
exec '$login' "\$@"
SCRIPT
chmod 755 "$work/login"

password="pw-$RANDOM-$RANDOM-secret"
cv_issuer_start "$work/issuer"
suite_track "$CV_ISSUER_PID"
cv_host_home "$work/home"
CV_LOGIN_BIN="$work/login" cv_host_start "$build" "$work/home" "$work/state" "$password"
suite_track "$CV_HOST_PID"

# One GET through the host, as raw HTTP/1.0 so that nothing but bash is needed; the answer
# (head and body) goes to stdout.
get() {  # get PATH_AND_QUERY [HEADER...]
    local target="$1"
    shift
    exec 3<>"/dev/tcp/127.0.0.1/$CV_HOST_PORT"
    {
        printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n' "$target"
        for h in "$@"; do printf '%s\r\n' "$h"; done
        printf '\r\n'
    } >&3
    cat <&3
    exec 3<&-
}

for target in "/credvane?action=status&pwd=$password" "/plugins?action=status&node=n&pwd=$password"; do
    : >"$seen"
    answer="$(get "$target" "X-Bot-Password: $password" "Authorization: Bearer $password" \
        "Proxy: http://attacker.invalid:3128" "X-Original-URI: /credvane?pwd=$password")"
    suite_check "$target is answered with a status" grep -q '"ok":true,"state":"done"' <<<"$answer"
    suite_check "$target runs the login CLI" grep -q '^--status$' "$seen"
    suite_check "$target: the password never reaches the CLI" bash -c "! grep -qF -- '$password' '$seen'"
    for name in QUERY_STRING REQUEST_URI REDIRECT_URI REDIRECT_STATUS SCRIPT_NAME SCRIPT_FILENAME \
        CONTENT_LENGTH \
        DOCUMENT_ROOT REMOTE_ADDR REMOTE_PORT SERVER_ADDR SERVER_NAME SERVER_PORT \
        SERVER_PROTOCOL SERVER_SOFTWARE GATEWAY_INTERFACE REQUEST_METHOD REQUEST_SCHEME \
        BOT_PASSWORD HTTP_HOST HTTP_PROXY HTTP_X_BOT_PASSWORD HTTP_AUTHORIZATION \
        HTTP_X_ORIGINAL_URI; do
        suite_check "$target: $name never reaches the CLI" bash -c "! grep -q '^$name=' '$seen'"
    done
    for name in PATH HOME CODEX_LOGIN_BIN CODEX_REFRESH_BIN CREDVANE_ISSUER; do
        suite_check "$target: $name reaches the CLI" grep -q "^$name=" "$seen"
    done
done

suite_end

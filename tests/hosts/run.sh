#!/usr/bin/env bash
# run.sh: puts the built credvane behind each web server the README configures (lighttpd,
# Apache httpd with mod_cgid, nginx with fcgiwrap), using the README's own snippet for each,
# on 127.0.0.1, and checks what a client of that server gets.
#
#   tests/hosts/run.sh BUILD_DIR [lighttpd|apache|nginx ...]    (default: all three)
#
# The snippet is taken from README.md as it stands; only its paths are replaced by this run's
# (the binary, the node's home, the fcgiwrap socket). Around it each server gets a minimal
# configuration of its own: a free port, its own pid, log and temporary files in a temporary
# folder. Every server runs as the calling user, or as "nobody" when that user is root, so a
# run needs no system setup and leaves none behind. Ends with "hosts: N passed, M failed".
set -uo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [lighttpd|apache|nginx ...]" >&2
    exit 2
fi
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "$1" && pwd)"
shift
servers=("$@")
# The servers live in sbin, which a user's PATH may lack.
export PATH="$PATH:/usr/sbin:/sbin"
[ ${#servers[@]} -gt 0 ] || servers=(lighttpd apache nginx)
declare -A needs=([lighttpd]="lighttpd" [apache]="apache2" [nginx]="nginx fcgiwrap")
for s in "${servers[@]}"; do
    for c in ${needs[$s]:-}; do
        command -v "$c" >/dev/null || { echo "run.sh: $c is missing (apt-get install $c)" >&2; exit 2; }
    done
done
command -v curl >/dev/null || { echo "run.sh: curl is missing (apt-get install curl)" >&2; exit 2; }

# The password the README's snippets carry; the run uses it as the node password.
password="change-this-node-password"

# shellcheck source=../../tools/lighttpd/host.sh
source "$root/tools/lighttpd/host.sh" # cv_host_home, cv_port_free

work="$(mktemp -d -t credvane-hosts.XXXXXX)"
chmod 755 "$work"
pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do
        kill "$p" 2>/dev/null
        wait "$p" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Servers drop no privileges they do not have: as root, run them as nobody instead. Called
# with "&": the exec makes $! the server itself, so that the cleanup's kill reaches it.
as_server() {
    if [ "$(id -u)" -eq 0 ]; then
        exec setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"
    else
        exec "$@"
    fi
}

passed=0
failed=0
ok() {
    passed=$((passed + 1))
    echo "ok - $1"
}
fail() {
    failed=$((failed + 1))
    echo "not ok - $1"
    [ -z "${2:-}" ] || printf '%s\n' "$2" | sed 's/^/    /'
}

# snippet NAME: the fenced block that follows "<!-- host-config: NAME -->" in the README.
snippet() {
    awk -v mark="<!-- host-config: $1 -->" '
        $0 == mark { found = 1; next }
        found && /^```/ { if (inside) exit; inside = 1; next }
        inside { print }' "$root/README.md"
}

# Waits until something listens on the port, or the server process has ended. The bound of
# some minutes only ends a broken run; a sound one never comes near it.
wait_port() {
    local port="$1" pid="$2" polls=0
    while cv_port_free "$port"; do
        kill -0 "$pid" 2>/dev/null || return 1
        polls=$((polls + 1))
        [ $polls -lt 6000 ] || return 1
        sleep 0.05
    done
}

# Waits until the unix socket exists, or its server has ended (bound as above).
wait_socket() {
    local path="$1" pid="$2" polls=0
    while [ ! -S "$path" ]; do
        kill -0 "$pid" 2>/dev/null || return 1
        polls=$((polls + 1))
        [ $polls -lt 6000 ] || return 1
        sleep 0.05
    done
}

# start_server NAME DIR: writes the server's configuration for a free port (conf_NAME, which
# also sets the command line in "launch") and starts it, on the next port if that one was
# taken in between. Sets server_pid and server_port.
start_server() {
    local name="$1" dir="$2" port tries=0
    port=$((20000 + RANDOM % 20000))
    while [ $tries -lt 20 ]; do
        tries=$((tries + 1))
        port=$((port + 1))
        cv_port_free "$port" || continue
        "conf_$name" "$dir" "$port"
        as_server "${launch[@]}" >>"$dir/server.out" 2>&1 &
        server_pid=$!
        if wait_port "$port" "$server_pid"; then
            server_port="$port"
            pids+=("$server_pid")
            return 0
        fi
        kill "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    done
    return 1
}

conf_lighttpd() {
    local dir="$1" port="$2"
    launch=(lighttpd -D -f "$dir/lighttpd.conf")
    cat >"$dir/lighttpd.conf" <<EOF
# The modules of Debian's lighttpd.conf, which the snippet adds to.
server.modules = ("mod_indexfile", "mod_access", "mod_alias", "mod_redirect")
server.bind = "127.0.0.1"
server.port = $port
server.document-root = "$dir/www"
server.errorlog = "$dir/error.log"
server.pid-file = "$dir/lighttpd.pid"
server.upload-dirs = ("$dir/tmp")
EOF
    cat "$dir/snippet" >>"$dir/lighttpd.conf"
}

conf_apache() {
    local dir="$1" port="$2" mods=/usr/lib/apache2/modules m
    launch=(/usr/sbin/apache2 -d "$dir" -f "$dir/httpd.conf" -DFOREGROUND)
    {
        for m in mpm_event authz_core alias cgid env; do
            echo "LoadModule ${m}_module $mods/mod_$m.so"
        done
        cat <<EOF
ServerName 127.0.0.1
Listen 127.0.0.1:$port
DefaultRuntimeDir "$dir/run"
PidFile "$dir/httpd.pid"
ErrorLog "$dir/error.log"
ScriptSock "$dir/run/cgid.sock"
DocumentRoot "$dir/www"
# As Debian's apache2.conf: nothing outside the document root is served unless granted.
<Directory />
    Options FollowSymLinks
    AllowOverride None
    Require all denied
</Directory>
EOF
        cat "$dir/snippet"
    } >"$dir/httpd.conf"
}

conf_nginx() {
    local dir="$1" port="$2"
    launch=(nginx -p "$dir/" -c "$dir/nginx.conf" -e "$dir/error.log" -g "daemon off;")
    cp /etc/nginx/fastcgi_params "$dir/fastcgi_params"
    {
        cat <<EOF
pid $dir/nginx.pid;
error_log $dir/error.log;
worker_processes 1;
events {}
http {
    access_log off;
    client_body_temp_path $dir/tmp/body;
    fastcgi_temp_path $dir/tmp/fastcgi;
    proxy_temp_path $dir/tmp/proxy;
    uwsgi_temp_path $dir/tmp/uwsgi;
    scgi_temp_path $dir/tmp/scgi;
    server {
        listen 127.0.0.1:$port;
        server_name localhost;
EOF
        cat "$dir/snippet"
        printf '    }\n}\n'
    } >"$dir/nginx.conf"
}

# get DIR NAME URL [CURL ARGS...]: the answer's status, headers and body in DIR/NAME.*
get() {
    local dir="$1" name="$2" url="$3"
    shift 3
    curl -sS -o "$dir/$name.body" -D "$dir/$name.head" -w '%{http_code}' "$@" "$url" \
        >"$dir/$name.code" 2>"$dir/$name.err"
}

header() {  # header FILE NAME: the value of the first header NAME (case-insensitive)
    tr -d '\r' <"$1" | awk -v n="$(echo "$2" | tr 'A-Z' 'a-z')" -F': ' \
        'tolower($1) == n { sub(/^[^:]*: /, ""); print; exit }'
}

# The node's answers for the page and for a status request, straight from the program,
# without a server: what every host must hand on unchanged.
expect="$work/expect"
mkdir -p "$expect"
expect_home="$work/expect-home"
cv_host_home "$expect_home"
HOME="$expect_home" BOT_PASSWORD="$password" HTTP_X_BOT_PASSWORD="$password" QUERY_STRING="" \
    "$build/credvane" </dev/null | tr -d '\r' | sed '1,/^$/d' >"$expect/page.body"
unauth_body='{"ok":false,"error":"invalid node password"}'
status_prefix='{"ok":true,"state":"done","logged_in":true,'

check_host() {
    local name="$1" dir base code
    dir="$work/$name"
    mkdir -p "$dir/www" "$dir/tmp" "$dir/run" "$dir/bin" "$dir/home"
    install -m 755 "$build/credvane" "$dir/bin/credvane"
    # The snippets name the sign-in CLIs beside credvane; a status request runs the login CLI.
    local cli
    for cli in credvane-login credvane-refresh; do
        [ ! -x "$build/signin/$cli" ] || install -m 755 "$build/signin/$cli" "$dir/bin/$cli"
    done
    cv_host_home "$dir/home"
    snippet "$name" >"$dir/snippet.readme"
    if [ ! -s "$dir/snippet.readme" ]; then
        fail "$name: README.md has a snippet"
        return
    fi
    if ! grep -q "$password" "$dir/snippet.readme"; then
        fail "$name: the README's snippet sets the node password $password"
        return
    fi
    sed -e "s|/usr/bin/credvane|$dir/bin/credvane|g" \
        -e "s|/var/lib/credvane|$dir/home|g" \
        -e "s|/run/fcgiwrap.socket|$dir/fcgiwrap.sock|g" \
        "$dir/snippet.readme" >"$dir/snippet"
    [ "$(id -u)" -ne 0 ] || chown -R nobody:nogroup "$dir"

    if [ "$name" = nginx ]; then
        as_server fcgiwrap -s "unix:$dir/fcgiwrap.sock" >>"$dir/fcgiwrap.out" 2>&1 &
        local fcgi_pid=$!
        pids+=("$fcgi_pid")
        if ! wait_socket "$dir/fcgiwrap.sock" "$fcgi_pid"; then
            fail "$name: fcgiwrap starts" "$(cat "$dir/fcgiwrap.out")"
            return
        fi
    fi
    if ! start_server "$name" "$dir"; then
        fail "$name: the server starts with the README's snippet" \
            "$(cat "$dir/server.out" "$dir/error.log" 2>/dev/null | tail -n 20)"
        return
    fi
    ok "$name: the server starts with the README's snippet"
    base="http://127.0.0.1:$server_port/credvane"

    # The page, with the password in a header.
    get "$dir" page "$base" -H "X-Bot-Password: $password"
    if [ "$(cat "$dir/page.code")" = 200 ] &&
        [ "$(header "$dir/page.head" Content-Type)" = "text/html; charset=utf-8" ] &&
        cmp -s "$dir/page.body" "$expect/page.body"; then
        ok "$name: the page is served"
    else
        fail "$name: the page is served" "status $(cat "$dir/page.code"); $(head -c 300 "$dir/page.body")"
    fi

    # A status request, with the password each way a client may send it.
    local way
    for way in header bearer query; do
        case $way in
        header) get "$dir" "status-$way" "$base?action=status&account=work" -H "X-Bot-Password: $password" ;;
        bearer) get "$dir" "status-$way" "$base?action=status&account=work" -H "Authorization: Bearer $password" ;;
        query) get "$dir" "status-$way" "$base?action=status&account=work&pwd=$password" ;;
        esac
        code="$(cat "$dir/status-$way.code")"
        if [ "$code" = 200 ] &&
            [ "$(header "$dir/status-$way.head" Content-Type)" = "application/json; charset=utf-8" ] &&
            [ "$(head -c ${#status_prefix} "$dir/status-$way.body")" = "$status_prefix" ] &&
            grep -q '"account":"work",' "$dir/status-$way.body"; then
            ok "$name: a status request with the password ($way)"
        else
            fail "$name: a status request with the password ($way)" \
                "status $code; $(head -c 300 "$dir/status-$way.body")"
        fi
    done

    # A wrong password, each way, and none at all: the node's 401, unchanged.
    for way in header bearer query none; do
        case $way in
        header) get "$dir" "wrong-$way" "$base?action=status" -H "X-Bot-Password: not-$password" ;;
        bearer) get "$dir" "wrong-$way" "$base?action=status" -H "Authorization: Bearer not-$password" ;;
        query) get "$dir" "wrong-$way" "$base?action=status&pwd=not-$password" ;;
        none) get "$dir" "wrong-$way" "$base?action=status" ;;
        esac
        code="$(cat "$dir/wrong-$way.code")"
        if [ "$code" = 401 ] &&
            [ "$(header "$dir/wrong-$way.head" Content-Type)" = "application/json; charset=utf-8" ] &&
            [ "$(header "$dir/wrong-$way.head" Cache-Control)" = "no-store" ] &&
            [ "$(cat "$dir/wrong-$way.body")" = "$unauth_body" ] &&
            [ "$(wc -c <"$dir/wrong-$way.body")" -eq $((${#unauth_body} + 1)) ]; then
            ok "$name: a wrong password is refused ($way)"
        else
            fail "$name: a wrong password is refused ($way)" \
                "status $code; $(head -c 300 "$dir/wrong-$way.body")"
        fi
    done
}

for s in "${servers[@]}"; do
    check_host "$s"
done
echo "hosts: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

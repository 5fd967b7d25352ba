#!/bin/bash
# run.sh: builds the packages and checks them as an operator would meet them: the .deb's
# control fields, its files unpacked into a temporary root, and the installed executable
# answering --version, --meta, the page and a status request (its header block byte for byte,
# what it read through a JSON parser); its manual
# pages, changelog and host examples, and lintian's verdict on it; the .tar.gz's files; and,
# given a second build folder, the Windows .zip from the mingw-w64 toolchain file alone, its
# DLL imports, and its credvane.exe under wine.
#
#   tests/package/run.sh BUILD_DIR [WIN_BUILD_DIR] [-- CMAKE_ARGS...]
#
# BUILD_DIR is configured with the default options plus CMAKE_ARGS (the default build is
# the one packaged). Prints "ok - ..." or "not ok - ..." per check and ends with
# "package: N passed, M failed". Exit status: 0 when every check passed, 1 otherwise,
# 2 when a build failed. Environment: JOBS (build jobs, default 2).
set -u

# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
build=${1:?usage: run.sh BUILD_DIR [WIN_BUILD_DIR] [-- CMAKE_ARGS...]}
shift
suite_begin package
suite_need node
suite_needs_met
win_build=
if [ $# -gt 0 ] && [ "$1" != -- ]; then
    win_build=$1
    shift
fi
[ "${1:-}" = -- ] && shift
jobs=${JOBS:-2}

finish() {
    suite_end
    exit $?
}
build_package() {  # build_package DIR CMAKE_ARGS...
    local dir=$1
    shift
    mkdir -p "$dir"
    if ! cmake -S "$root" -B "$dir" "$@" >"$dir/package-configure.log" 2>&1 ||
        ! cmake --build "$dir" -j"$jobs" --target package >"$dir/package-build.log" 2>&1; then
        tail -n 40 "$dir/package-configure.log" "$dir/package-build.log" 2>/dev/null >&2
        echo "run.sh: building the package in $dir failed" >&2
        suite_abort 2
    fi
}
cache_value() {  # cache_value DIR NAME
    sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

suite_work package
wine_prefix=
suite_cleanup() {
    if [ -n "$wine_prefix" ]; then
        WINEPREFIX=$wine_prefix "${wineserver:-true}" -k >/dev/null 2>&1
    fi
}

# --- Linux: the .deb and the .tar.gz from the default build ---
build_package "$build" "$@"
version=$(cache_value "$build" CMAKE_PROJECT_VERSION)
arch=$(dpkg --print-architecture)
deb=$build/credvane_${version}_${arch}.deb
tgz=$(ls "$build"/credvane-"$version"-Linux-*.tar.gz 2>/dev/null | head -n1)
suite_check "the .deb exists as credvane_${version}_${arch}.deb" test -f "$deb"
suite_check "the .tar.gz exists" test -n "$tgz"

field() { dpkg-deb -f "$deb" "$1" 2>/dev/null; }
suite_check "control: Package is credvane" test "$(field Package)" = credvane
suite_check "control: Version is project(VERSION) $version" test "$(field Version)" = "$version"
suite_check "control: Architecture is $arch" test "$(field Architecture)" = "$arch"
suite_check "control: Maintainer is a name and an address" \
    bash -c 're="^[^<]+ <[^@>]+@[^>]+>$"; [[ $1 =~ $re ]]' _ "$(field Maintainer)"
suite_check "control: Description has a summary and a body" \
    test "$(field Description | wc -l)" -ge 2

unpacked=$work/root
dpkg-deb -x "$deb" "$unpacked" 2>"$work/x.err"
suite_check "dpkg-deb -x unpacks it" test -s "$unpacked/usr/bin/credvane" -a ! -s "$work/x.err"
exe=$unpacked/usr/bin/credvane
suite_check "credvane is installed executable on PATH (/usr/bin)" test -x "$exe"
suite_check "README.md is installed under /usr/share/doc/credvane" \
    cmp -s "$unpacked/usr/share/doc/credvane/README.md" "$root/README.md"
suite_check "LICENSE is installed under /usr/share/doc/credvane" \
    cmp -s "$unpacked/usr/share/doc/credvane/LICENSE" "$root/LICENSE"
# What a Debian system expects beside the program, and the documents for hubs and operators.
# Every program the package installs comes with its manual page.
doc=./usr/share/doc/credvane
programs=$(ls "$unpacked/usr/bin")
want_files="$(for p in $programs; do echo "./usr/bin/$p"; echo "./usr/share/man/man1/$p.1.gz"; done
    printf '%s\n' $doc/LICENSE $doc/README.md $doc/api.md $doc/api.schema.json $doc/changelog.gz \
        $doc/install.md $doc/configuration.md $doc/signin.md $doc/windows.md \
        $doc/copyright $doc/examples/apache.conf $doc/examples/lighttpd.conf \
        $doc/examples/nginx.conf
    if [ "$(cache_value "$build" CREDVANE_STATIC)" = ON ]; then
        echo ./usr/share/lintian/overrides/credvane
    fi)"
suite_check "the package holds the programs, their manual pages and documents, and nothing else" \
    test "$(cd "$unpacked" && find . -type f | sort | tr '\n' ' ')" = "$(sort <<<"$want_files" | tr '\n' ' ')"
suite_check "the changelog's newest entry is credvane ($version)" \
    bash -c 'zcat "$1" | head -n1 | grep -q "^credvane ($2) "' _ "$unpacked/$doc/changelog.gz" "$version"
for p in $programs; do
    # man's own check: the page renders with no warning from groff.
    suite_check "man page $p(1) renders without a warning" \
        bash -c 'test -s "$1" && test -z "$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null)"' \
        _ "$unpacked/usr/share/man/man1/$p.1.gz"
done
# The examples are the snippets of docs/install.md, the very ones tests/hosts/run.sh serves.
for name in lighttpd apache nginx; do
    suite_check "examples/$name.conf is the $name snippet of docs/install.md" \
        bash -c 'cmp -s "$1" <(awk -v mark="<!-- host-config: $2 -->" '"'"'
            $0 == mark { found = 1; next }
            found && /^```/ { if (inside) exit; inside = 1; next }
            inside { print }'"'"' "$3")' _ "$unpacked/$doc/examples/$name.conf" "$name" "$root/docs/install.md"
done
if command -v lintian >/dev/null 2>&1; then
    # Lintian's own verdict, every tag it prints shown; overridden tags only with their reason.
    lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1
    lintian_rc=$?
    grep -v '^running with root privileges' "$work/lintian" | sed 's/^/# lintian: /'
    suite_check "lintian finds no error and no warning in the .deb" test "$lintian_rc" -eq 0
else
    suite_check "lintian is installed (apt-get install lintian)" false
fi
suite_check "the package carries credvane and its sign-in CLIs" \
    test "$(echo $programs)" = "credvane credvane-login credvane-refresh"
suite_check "control: Depends names libcurl4, which the sign-in CLIs load" \
    bash -c '[[ $1 == *libcurl4* ]]' _ "$(field Depends)"
for cli in credvane-login credvane-refresh; do
    out=$(env -i "$unpacked/usr/bin/$cli" --bogus 2>&1)
    suite_check "$cli answers a bad command line with a JSON usage line" \
        bash -c '[[ $1 == "{\"ok\":false,\"error\":\"usage\","* ]]' _ "$out"
done
if [ "$(cache_value "$build" CREDVANE_STATIC)" = ON ]; then
    # A static executable has no program interpreter: the loader never runs.
    suite_check "the installed credvane is static" bash -c '! readelf -lW "$1" | grep -q INTERP' _ "$exe"
fi

# Every run gets an empty environment but for what it names: what a web server passes.
run() { env -i "$@"; }
suite_check "--version prints 'credvane $version'" \
    test "$(run "$exe" --version | od -An -c)" = "$(printf 'credvane %s\n' "$version" | od -An -c)"
suite_check "--meta prints the discovery line" \
    test "$(run "$exe" --meta | od -An -c)" = \
    "$(printf '{"name":"codex","desc":"Codex login"}\n' | od -An -c)"
run "$exe" >"$work/page" 2>"$work/page.err"
suite_check "no query serves the page" \
    bash -c 'head -c 64 "$1" | grep -q "^Content-Type: text/html; charset=utf-8" &&
             grep -q "</html>" "$1" && ! test -s "$2"' _ "$work/page" "$work/page.err"

# A status request in a temporary home with an expired token: the header block byte for byte,
# and what the installed program read from the file, member by member through a JSON parser
# (the CGI tests hold the whole answer to every byte).
home=$work/home
mkdir -p "$home/.codex"
payload=$(printf '{"exp":1700000000}' | base64 | tr '+/' '-_' | tr -d '=\n')
printf '{"tokens":{"access_token":"eyJhbGciOiJub25lIn0.%s.c2ln","refresh_token":"r","account_id":"acc-1"},"last_refresh":"2024-05-01T12:00:00Z"}' \
    "$payload" >"$home/.codex/auth.json"
run HOME="$home" QUERY_STRING=action=status "$exe" >"$work/status" 2>"$work/status.err"
status_rc=$?
printf '%s\r\n' 'Content-Type: application/json; charset=utf-8' 'Cache-Control: no-store' \
    'X-Content-Type-Options: nosniff' '' >"$work/status.want"
suite_check "a status request answers with the JSON header block, exit 0, nothing on stderr" \
    bash -c 'cmp "$1" <(head -c "$(stat -c %s "$1")" "$2") && test "$3" -eq 0 && ! test -s "$4"' _ \
    "$work/status.want" "$work/status" "$status_rc" "$work/status.err"
# shellcheck disable=SC2016 # the script is node's
status_members='
const [file, home] = process.argv.slice(1);
const text = require("fs").readFileSync(file, "utf8");
const body = text.slice(text.indexOf("\r\n\r\n") + 4);
if (!body.endsWith("}\n") || body.indexOf("\n") !== body.length - 1) throw new Error("not one line");
const got = JSON.parse(body);
const want = {
    ok: true, state: "done", logged_in: true, expires_at: 1700000000, expired: true,
    has_refresh: true, account: "default", pending: false, pending_age_sec: -1,
    last_refresh: 1714564800, account_id: "acc-1", cli_present: false,
    credentials_path: home + "/.codex/auth.json", cli_error: "the login CLI is not on this node",
    accounts: [], file_problem: "no id_token",
};
for (const [name, value] of Object.entries(want)) {
    if (JSON.stringify(got[name]) !== JSON.stringify(value)) {
        throw new Error(name + ": " + JSON.stringify(got[name]) + ", not " + JSON.stringify(value));
    }
}
if (!(got.expires_in_sec < 0)) throw new Error("expires_in_sec: " + got.expires_in_sec);
'
suite_check "a status request reports what the credential file holds" \
    node -e "$status_members" "$work/status" "$home"

suite_check "the .tar.gz holds the same files as the .deb" \
    test "$(tar tzf "$tgz" 2>/dev/null | grep -v '/$' | sed 's|^[^/]*/||' | sort | tr '\n' ' ')" = \
    "$(cd "$unpacked/usr" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')"

[ -n "$win_build" ] || finish

# --- Windows: the .zip from the toolchain file alone ---
build_package "$win_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake"
zip=$win_build/credvane-$version-win64.zip
suite_check "the .zip exists as credvane-$version-win64.zip" test -f "$zip"
suite_check "the .zip holds credvane.exe, its sign-in CLIs, README.md, LICENSE and the operator's docs" \
    test "$(unzip -Z1 "$zip" 2>/dev/null | sed 's|^[^/]*/||' | grep -v '/$' | LC_ALL=C sort | tr '\n' ' ')" = \
    "LICENSE README.md credvane-login.exe credvane-refresh.exe credvane.exe docs/api.md docs/api.schema.json docs/configuration.md docs/install.md docs/signin.md docs/windows.md "
unzip -q -d "$work/win" "$zip"
win_exe=$(ls "$work"/win/*/credvane.exe 2>/dev/null | head -n1)
# Only DLLs that Windows loads from its KnownDLLs (and ntdll, loaded before any other): the
# mingw runtimes are linked in, and any other system DLL is loaded from System32 at run time,
# since the loader looks for a static import beside the program first.
for name in credvane credvane-login credvane-refresh; do
    x86_64-w64-mingw32-objdump -p "$(dirname "$win_exe")/$name.exe" 2>/dev/null |
        sed -n 's/^\s*DLL Name: //p' >"$work/dlls"
    allowed="kernel32|msvcrt|advapi32|user32|shell32|ws2_32|ntdll"
    suite_check "$name.exe imports no DLL beyond Windows' KnownDLLs ($(tr '\n' ' ' <"$work/dlls"| sed 's/ $//'))" \
        bash -c 'test -s "$1" && ! grep -viqE "^($2)\.dll$" "$1"' _ "$work/dlls" "$allowed"
done

if [ -x /usr/lib/wine/wine64 ]; then
    wine=/usr/lib/wine/wine64
else
    wine=$(command -v wine64 || true)
fi
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
[ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
if [ -n "$wine" ]; then
    wine_prefix=$work/wine
    mkdir -p "$wine_prefix"
    out=$(WINEPREFIX=$wine_prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        "$wine" "$win_exe" --version 2>/dev/null | od -An -c)
    suite_check "credvane.exe --version under wine prints 'credvane $version'" \
        test "$out" = "$(printf 'credvane %s\n' "$version" | od -An -c)"
    for cli in credvane-login credvane-refresh; do
        out=$(WINEPREFIX=$wine_prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
            "$wine" "$(dirname "$win_exe")/$cli.exe" --bogus 2>/dev/null)
        suite_check "$cli.exe under wine answers a bad command line with a JSON usage line" \
            bash -c '[[ $1 == "{\"ok\":false,\"error\":\"usage\","* ]]' _ "$out"
    done
else
    echo "run.sh: no wine64 here, credvane.exe not run" >&2
fi
finish

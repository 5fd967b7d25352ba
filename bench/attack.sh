#!/usr/bin/env bash
# attack.sh: times a status request against account directories built to be expensive:
# 64 named account files of 8 MiB each (the most the accounts list reads), and 100,000
# account files (of which the list keeps 64). Prints, for each, the median wall time of
# five requests, the user+system time of that request and its peak RSS.
#
#   bench/attack.sh [credvane-executable...]   (default: build-bench/credvane; several
#                                              executables, as before and after, share
#                                              the fixtures)
#
# Needs about 520 MiB of space under TMPDIR and /usr/bin/time. Nothing here asserts.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 0 ] && set -- "$here/../build-bench/credvane"
fx=$(mktemp -d "${TMPDIR:-/tmp}/credvane-attack-XXXXXX")
trap 'rm -rf "$fx"' EXIT
mkdir -p "$fx/home" "$fx/bin" "$fx/big64" "$fx/many"
printf '#!/bin/sh\necho '"'"'{"ok":true,"logged_in":false,"pending":false}'"'"'\n' >"$fx/bin/login"
chmod 755 "$fx/bin/login"
creds='{"tokens":{"access_token":"eyJhbGciOiJub25lIn0.eyJleHAiOjQxMDI0NDQ4MDB9.c2ln","refresh_token":"rt_0123456789abcdef"},"last_refresh":"2025-01-01T12:00:00Z"}'
printf '%s' "$creds" >"$fx/creds.json"
head_part='{"tokens":{"access_token":"eyJhbGciOiJub25lIn0.eyJleHAiOjQxMDI0NDQ4MDB9.c2ln"},"pad":"'
{
    printf '%s' "$head_part"
    head -c $((8388608 - ${#head_part} - 2)) /dev/zero | tr '\0' 'p'
    printf '"}'
} >"$fx/big64/a1.json"
for i in $(seq 2 64); do cp "$fx/big64/a1.json" "$fx/big64/a$i.json"; done
python3 -c '
import sys
d, text = sys.argv[1:3]
for i in range(100000):
    open("%s/a%d.json" % (d, i), "w").write(text)
' "$fx/many" "$creds"

for exe in "$@"; do
    echo "$exe"
    for d in big64 many; do
        for _ in 1 2 3 4 5; do
            env -i HOME="$fx/home" PATH=/usr/bin:/bin CODEX_LOGIN_BIN="$fx/bin/login" \
                CODEX_CREDS_PATH="$fx/creds.json" CODEX_ACCOUNTS_DIR="$fx/$d" \
                QUERY_STRING=action=status /usr/bin/time -f '%e %U %S %M' "$exe" 2>&1 >/dev/null |
                tail -n 1
        done | sort -n | sed -n 3p |
            awk -v d="$d" '{printf "  %-6s median wall %.2f s, cpu %.2f s, peak RSS %d KiB\n", d, $1, $2 + $3, $4}'
    done
done

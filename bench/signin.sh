#!/usr/bin/env bash
# signin.sh: what credvane-login and credvane-refresh add of their own to the network time,
# per run, against a fixed-answer issuer on 127.0.0.1 (signin_server.py). Each case runs
# the CLI and its floor back to back with hyperfine (-N, no shell): the floor
# (floor_http.c, static -O2) makes the same POSTs to the same server over plain sockets
# and reads the answers, nothing else; a second floor (floor_curl.c) makes them through
# libcurl loaded as the CLIs load it, so "beyond libcurl" is the CLI's own code. "own wall" is the difference of the median wall
# times, "own cpu" that of the mean user+system times (the figure to trust on a loaded
# machine, where waiting for a core dominates the wall time).
#
#   bench/signin.sh [build-dir]      (default: build-bench; the default build, Release)
#   RUNS=200 bench/signin.sh
# Needs hyperfine, python3, a C compiler with static glibc, libcurl4-openssl-dev (for
# floor_curl.c). Nothing here asserts.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
build=${1:-$repo/build-bench}
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac
runs=${RUNS:-200}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build" -DCREDVANE_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target credvane-login credvane-refresh >/dev/null
out="$build/bench-signin"
rm -rf "$out"
mkdir -p "$out/home"
cc -O2 -static -o "$out/floor_http" "$here/floor_http.c"
# Dynamic, as it loads libcurl the way the CLIs do.
cc -O2 -o "$out/floor_curl" "$here/floor_curl.c" -ldl
login=$build/signin/credvane-login
refresh=$build/signin/credvane-refresh

echo pending >"$out/mode"
coproc server { exec python3 "$here/signin_server.py" "$out/mode"; }
trap 'kill "$server_PID" 2>/dev/null || true' EXIT
read -r port <&"${server[0]}"
export HOME="$out/home" CREDVANE_ISSUER="http://127.0.0.1:$port"
marker=$HOME/.claude/.login-pending/codex-default.json
auth=$HOME/.codex/auth.json
"$login" --start >/dev/null
# A marker whose poll is due, as a poll run finds it after the interval.
python3 - "$marker" >"$out/marker.due" <<'PY'
import json, sys
m = json.load(open(sys.argv[1])); m["last_poll_ms"] = 1; print(json.dumps(m), end="")
PY
printf 'cp %s %s\n' "$out/marker.due" "$marker" >"$out/prep-marker.sh"
echo approved >"$out/mode"; sh "$out/prep-marker.sh"; "$login" --poll >/dev/null
cp "$auth" "$out/auth.template"
printf 'cp %s %s\n' "$out/auth.template" "$auth" >"$out/prep-auth.sh"

floor="$out/floor_http $port"
uc=/api/accounts/deviceauth/usercode
tk=/api/accounts/deviceauth/token
ot=/oauth/token
bench() {  # bench NAME MODE PREPARE CLI FLOOR [CURL_FLOOR]
    echo "$2" >"$out/mode"
    local prep=()
    [ -z "$3" ] || prep=(--prepare "sh $3")
    local cmds=("$4" "$5")
    [ -z "${6:-}" ] || cmds+=("$6")
    hyperfine -N --warmup 10 --runs "$runs" "${prep[@]}" --export-json "$out/$1.json" "${cmds[@]}" >/dev/null 2>&1
    python3 - "$1" "$out/$1.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[2]))["results"]
cli, floor = r[0]["median"] * 1000, r[1]["median"] * 1000
cpu = [(x["user"] + x["system"]) * 1000 for x in r]
lib = f"{cpu[2]:.2f} ms | {cpu[0] - cpu[2]:.2f} ms" if len(cpu) > 2 else "- | -"
print(f"| {sys.argv[1]} | {cli:.2f} ms | {floor:.2f} ms | {cli - floor:.2f} ms | {cpu[0]:.2f} ms | {cpu[1]:.2f} ms | {cpu[0] - cpu[1]:.2f} ms | {lib} |")
PY
}
echo "| case | CLI wall | floor wall | own wall | CLI cpu | floor cpu | own cpu | libcurl floor cpu | beyond libcurl cpu |"
echo "|---|---|---|---|---|---|---|---|---|"
curl_floor="$out/floor_curl $port"
bench "login --start (1 request, marker written)" pending "" "$login --start --force" "$floor $uc" "$curl_floor $uc"
bench "login --poll, pending (1 request, marker stamped)" pending "$out/prep-marker.sh" "$login --poll" "$floor $tk" \
    "$curl_floor $tk"
bench "login --poll, done (2 requests, auth.json written)" approved "$out/prep-marker.sh" "$login --poll" \
    "$floor $tk $ot" "$curl_floor $tk $ot"
bench "refresh --force (1 request, auth.json rewritten)" pending "$out/prep-auth.sh" \
    "$refresh --credentials-file $auth --force" "$floor $ot" "$curl_floor $ot"
# No request: against a static program that only starts and prints (the floor's own start).
bench "login --status (no request)" pending "" "$login --status" "$out/floor_http $port /"

#!/usr/bin/env bash
# run.sh: benchmarks credvane against the physical floor of each request and prints, in
# one run, every case as a ratio to its floor, with peak resident memory.
#
#   bench/run.sh [build-dir]        (default: build-bench; it is configured if new)
#   RUNS=300 ROUNDS=3 bench/run.sh  (runs per command in each hyperfine round)
#
# The floors: bench/floor_status.c reads the same credential file once, runs the same
# stand-in login CLI once through /bin/sh and writes a fixed answer (with --accounts it
# also reads each named account file once, a second yardstick for that case; with
# --stream it reads the credential file through a 64 KiB buffer instead of whole; with
# --poll it runs the CLI three times, as a poll does); every CLI run of a floor goes through
# /bin/sh, while credvane starts the CLI directly, so status and poll can go below 1.0;
# bench/floor_page.c writes a fixed text as long as the page. Both are static -O2
# programs, and so is credvane in its default build (Release, static). Each round runs credvane and its
# floor back to back (hyperfine, no shell in between); the ratio is of the medians, and
# the reported ratio is the median over the rounds, so a noisy neighbour on a shared
# machine shifts it less.
# Needs: hyperfine, /usr/bin/time (package time), Google Benchmark (libbenchmark-dev),
# python3. Nothing here asserts: the figures are for reading (bench/README.md).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
build=${1:-$repo/build-bench}
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac
runs=${RUNS:-300}
rounds=${ROUNDS:-3}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build" -DCREDVANE_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target credvane >/dev/null
out="$build/bench"
mkdir -p "$out"
exe="$build/credvane"
page_bytes=$(env -i QUERY_STRING= "$exe" | wc -c)
cc -O2 -static -o "$out/floor_status" "$here/floor_status.c"
cc -O2 -static -DPAGE_BYTES="$page_bytes" -o "$out/floor_page" "$here/floor_page.c"
c++ -std=c++20 -O2 -I"$repo" -o "$out/scanner_bench" "$here/scanner_bench.cc" \
    "$build/store/libcredvane_store.a" "$build/base/libcredvane_base.a" \
    "$build/platform/libcredvane_platform.a" -lbenchmark -lpthread

# Fixtures: a home without a profile or marker, the stand-in CLI, the credential files.
fx=$(mktemp -d "${TMPDIR:-/tmp}/credvane-bench-XXXXXX")
trap 'rm -rf "$fx"' EXIT
mkdir -p "$fx/home" "$fx/bin" "$fx/accounts64"
printf '#!/bin/sh\necho '"'"'{"ok":true,"logged_in":false,"pending":false}'"'"'\n' >"$fx/bin/login"
chmod 755 "$fx/bin/login"
b64url() { base64 -w0 | tr '+/' '-_' | tr -d '='; }
claims='{"exp":4102444800,"iat":1700000000,"iss":"https://auth.example","aud":["api"],"sub":"user-1234567890","scope":"openid profile email offline_access","client_id":"app_0123456789abcdef"}'
jwt="$(printf '{"alg":"RS256","typ":"JWT"}' | b64url).$(printf '%s' "$claims" | b64url).$(head -c 256 /dev/zero | tr '\0' 's' | b64url)"
creds="{\"OPENAI_API_KEY\":null,\"tokens\":{\"id_token\":\"$jwt\",\"access_token\":\"$jwt\",\"refresh_token\":\"rt_0123456789abcdef0123456789abcdef\",\"account_id\":\"acct-0123456789\"},\"last_refresh\":\"2025-01-01T12:00:00.000000Z\"}"
printf '%s' "$creds" >"$fx/jwt.json"
for i in $(seq 1 64); do printf '%s' "$creds" >"$fx/accounts64/acct$i.json"; done
head_part="{\"tokens\":{\"access_token\":\"$jwt\"},\"pad\":\""
{
    printf '%s' "$head_part"
    head -c $((8388608 - ${#head_part} - 2)) /dev/zero | tr '\0' 'p'
    printf '"}'
} >"$fx/big.json"
# The same size in many short members, each one a key the scan compares at the top level.
python3 - "$fx/members.json" "$jwt" <<'PY'
import sys
path, jwt = sys.argv[1:3]
parts = ['{"tokens":{"access_token":"%s"}' % jwt]
size = len(parts[0])
i = 0
while size + 40 < 8388608:
    m = ',"member%d":12345' % i
    parts.append(m)
    size += len(m)
    i += 1
text = "".join(parts)
text += " " * (8388608 - len(text) - 1) + "}"
open(path, "w").write(text)
PY

common=(HOME="$fx/home" PATH=/usr/bin:/bin CODEX_LOGIN_BIN="$fx/bin/login"
        CODEX_ACCOUNTS_DIR="$fx/no-accounts")
# name | query | extra environment | floor | time goal | rss goal (KiB)
cases=(
    "status, no credentials|action=status|CODEX_CREDS_PATH=$fx/none.json|floor_status|1.05|4096"
    "status, JWT credential file|action=status|CODEX_CREDS_PATH=$fx/jwt.json|floor_status|1.05|4096"
    "status, 64 named accounts|action=status|CODEX_CREDS_PATH=$fx/jwt.json CODEX_ACCOUNTS_DIR=$fx/accounts64|floor_status|-|4096"
    "  the same, floor reads them too|action=status|CODEX_CREDS_PATH=$fx/jwt.json CODEX_ACCOUNTS_DIR=$fx/accounts64|floor_status --accounts|1.10|4096"
    "status, 8 MiB, one long string|action=status|CODEX_CREDS_PATH=$fx/big.json|floor_status|1.10|9216"
    "  the same, floor streams it|action=status|CODEX_CREDS_PATH=$fx/big.json|floor_status --stream|1.50|9216"
    "status, 8 MiB, many members|action=status|CODEX_CREDS_PATH=$fx/members.json|floor_status|1.10|9216"
    "  the same, floor streams it|action=status|CODEX_CREDS_PATH=$fx/members.json|floor_status --stream|1.50|9216"
    "poll, JWT credential file|action=poll|CODEX_CREDS_PATH=$fx/jwt.json|floor_status --poll|1.00|4096"
    "page||CODEX_CREDS_PATH=$fx/none.json|floor_page|1.10|4096"
)

results="$out/results.tsv"
: >"$results"
for c in "${cases[@]}"; do
    IFS='|' read -r name query extra floor goal rss_goal <<<"$c"
    # shellcheck disable=SC2206
    vars=("${common[@]}" QUERY_STRING="$query" $extra)
    ratios=()
    for r in $(seq 1 "$rounds"); do
        env -i "${vars[@]}" hyperfine -N --warmup 20 --runs "$runs" --style none \
            --export-json "$out/round.json" "$exe" "$out/$floor" >/dev/null  # split by hyperfine
        ratios+=("$(python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"]; c=[x["user"]+x["system"] for x in r]; print("%.6f %.6f %.6f %.6f" % (r[0]["median"]/r[1]["median"], r[0]["median"], r[1]["median"], c[0]/c[1]))' "$out/round.json")")
    done
    rss=0
    floor_rss=0
    for r in 1 2 3 4 5; do
        k=$(env -i "${vars[@]}" /usr/bin/time -f %M "$exe" 2>&1 >/dev/null | tail -n 1)
        [ "$k" -gt "$rss" ] && rss=$k
        # shellcheck disable=SC2086
        k=$(env -i "${vars[@]}" /usr/bin/time -f %M $out/$floor 2>&1 >/dev/null | tail -n 1)
        [ "$k" -gt "$floor_rss" ] && floor_rss=$k
    done
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$(printf '%s;' "${ratios[@]}")" "$goal" \
        "$rss" "$rss_goal" "$floor_rss" >>"$results"
done

"$out/scanner_bench" --benchmark_format=json --benchmark_min_time=0.5 \
    >"$out/scanner.json" 2>/dev/null

python3 - "$results" "$out/scanner.json" "$runs" "$rounds" <<'PY'
import json, statistics, sys
results, scanner, runs, rounds = sys.argv[1:5]
print(f"credvane against its floor: median of {rounds} rounds of {runs} runs each")
print("wall: ratio of the median wall-clock times; cpu: ratio of the mean user+system times")
print("(process tree included), which a busy neighbour disturbs less\n")
print(f"{'case':33} {'wall':>6} {'cpu':>6} {'goal':>5}      {'credvane':>9} {'floor':>9}"
      f"  {'peak RSS':>9} {'goal':>8}      {'floor RSS':>9}")
for line in open(results):
    name, rs, goal, rss, rss_goal, floor_rss = line.rstrip("\n").split("\t")
    rows = [tuple(map(float, r.split())) for r in rs.strip(";").split(";")]
    wall = statistics.median(r[0] for r in rows)
    cpu = statistics.median(r[3] for r in rows)
    own = statistics.median(r[1] for r in rows) * 1000
    flo = statistics.median(r[2] for r in rows) * 1000
    met = "" if goal == "-" else "ok" if wall <= float(goal) else "MISS"
    rmet = "ok" if int(rss) < int(rss_goal) else "MISS"
    print(f"{name:33} {wall:6.3f} {cpu:6.3f} {goal:>5} {met:4} {own:7.3f}ms {flo:7.3f}ms"
          f"  {int(rss):6d}KiB {int(rss_goal):5d}KiB {rmet:4} {int(floor_rss):6d}KiB")
data = json.load(open(scanner))["benchmarks"]
floor = {b["name"].split("/")[1]: b["cpu_time"] for b in data if b["name"].startswith("floor_memchr")}
shapes = {"0": "8 MiB, one long string", "1": "8 MiB, many members", "2": "usual 1.3 KiB file"}
print("\nscanner and credential scan, as a ratio to one memchr pass over the same text")
for b in data:
    fn, arg = b["name"].split("/")[:2]
    if fn == "floor_memchr":
        continue
    print(f"  {fn:16} {shapes[arg]:24} {b['cpu_time'] / floor[arg]:8.1f}x  "
          f"({b['cpu_time']:.2f} us against {floor[arg]:.3f} us of CPU time)")
PY

#!/usr/bin/env bash
# run.sh: benchmarks credvane against the physical floor of each request and prints, in
# one run, every case as a ratio to its floor, with peak resident memory.
#
#   bench/run.sh [build-dir]        (default: build-bench; it is configured if new)
#   RUNS=300 ROUNDS=3 bench/run.sh  (runs per command in each hyperfine round)
#   BEFORE=old/credvane bench/run.sh  (also an older executable, side by side in each round)
#
# The floors: bench/floor_status.c reads the same credential file once through one 64 KiB
# buffer, starts the same stand-in login CLI once directly (posix_spawn, no shell), reads
# its output, waits for it and writes a fixed answer; for the named accounts it also reads
# each account file once, for the folder of 100,000 files it lists the folder once, and
# for a poll it runs the CLI three times. bench/floor_page.c writes a fixed text as long as
# the page. Both are static -O2 programs, and so is credvane in its default build (Release,
# static). Each round runs credvane (and the older executable) and its floor back to back
# (hyperfine, no shell in between); the ratio is of the medians, and the reported ratio is
# the median over the rounds, so a noisy neighbour on a shared machine shifts it less.
# Needs: hyperfine, /usr/bin/time (package time), Google Benchmark (libbenchmark-dev),
# python3. Nothing here asserts: the figures are for reading (bench/README.md).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
build=${1:-$repo/build-bench}
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac
runs=${RUNS:-300}
rounds=${ROUNDS:-3}
before=${BEFORE:-}
case "$before" in "" | /*) ;; *) before="$PWD/$before" ;; esac

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build" -DCREDVANE_TESTS=OFF >/dev/null
fi
cmake -S "$repo" -B "$build" -DCREDVANE_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target credvane scanner_bench >/dev/null
out="$build/bench"
mkdir -p "$out"
exe="$build/credvane"
page_bytes=$(env -i QUERY_STRING= "$exe" | wc -c)
cc -O2 -static -o "$out/floor_status" "$here/floor_status.c"
cc -O2 -static -DPAGE_BYTES="$page_bytes" -o "$out/floor_page" "$here/floor_page.c"

# Fixtures: a home without a profile or marker, the stand-in CLI, the credential files.
fx=$(mktemp -d "${TMPDIR:-/tmp}/credvane-bench-XXXXXX")
trap 'rm -rf "$fx"' EXIT
mkdir -p "$fx/home" "$fx/bin" "$fx/accounts64" "$fx/many"
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

# 100,000 account files, of which the answer carries 64.
python3 - "$fx/many" "$creds" <<'PY'
import sys
d, text = sys.argv[1:3]
for i in range(100000):
    open("%s/a%d.json" % (d, i), "w").write(text)
PY

common=(HOME="$fx/home" PATH=/usr/bin:/bin CODEX_LOGIN_BIN="$fx/bin/login"
        CODEX_ACCOUNTS_DIR="$fx/no-accounts")
# name | query | extra environment | floor and its arguments | time goal | rss goal (KiB) | runs
floor="floor_status --direct --stream"
many_runs=$((runs < 60 ? runs : 60))
cases=(
    "status, no credentials|action=status|CODEX_CREDS_PATH=$fx/none.json|$floor|1.05|4096|$runs"
    "status, JWT credential file|action=status|CODEX_CREDS_PATH=$fx/jwt.json|$floor|1.05|4096|$runs"
    "status, 64 named accounts|action=status|CODEX_CREDS_PATH=$fx/jwt.json CODEX_ACCOUNTS_DIR=$fx/accounts64|$floor --accounts|1.10|4096|$runs"
    "status, 8 MiB, one long string|action=status|CODEX_CREDS_PATH=$fx/big.json|$floor|1.50|4096|$runs"
    "status, 8 MiB, many members|action=status|CODEX_CREDS_PATH=$fx/members.json|$floor|1.50|4096|$runs"
    "status, 100,000 account files|action=status|CODEX_CREDS_PATH=$fx/jwt.json CODEX_ACCOUNTS_DIR=$fx/many|$floor --list|2.00|4096|$many_runs"
    "poll, JWT credential file|action=poll|CODEX_CREDS_PATH=$fx/jwt.json|$floor --poll|1.05|4096|$runs"
    "page||CODEX_CREDS_PATH=$fx/none.json|floor_page|1.05|4096|$runs"
)

# The commands of a round: credvane, its floor, and the older executable when given.
results="$out/results.tsv"
: >"$results"
for c in "${cases[@]}"; do
    IFS='|' read -r name query extra floor_cmd goal rss_goal case_runs <<<"$c"
    # shellcheck disable=SC2206
    vars=("${common[@]}" QUERY_STRING="$query" $extra)
    cmds=("$exe" "$out/$floor_cmd")
    [ -n "$before" ] && cmds+=("$before")
    rows=()
    for r in $(seq 1 "$rounds"); do
        env -i "${vars[@]}" hyperfine -N --warmup 20 --runs "$case_runs" --style none \
            --export-json "$out/round.json" "${cmds[@]}" >/dev/null
        rows+=("$(python3 -c '
import json, sys
r = json.load(open(sys.argv[1]))["results"]
cpu = [x["user"] + x["system"] for x in r]
med = [x["median"] for x in r]
# after/floor wall and cpu, before/floor wall and cpu (0 without one), medians in seconds
b = (med[2] / med[1], cpu[2] / cpu[1], med[2]) if len(r) > 2 else (0, 0, 0)
print("%.6f %.6f %.6f %.6f %.6f %.6f %.6f" % (med[0] / med[1], cpu[0] / cpu[1], med[0], med[1], b[0], b[1], b[2]))
' "$out/round.json")")
    done
    # Peak RSS: the largest of five runs of each command.
    rss=()
    for cmd in "${cmds[@]}"; do
        peak=0
        for _ in 1 2 3 4 5; do
            # shellcheck disable=SC2086
            k=$(env -i "${vars[@]}" /usr/bin/time -f %M $cmd 2>&1 >/dev/null | tail -n 1)
            [ "$k" -gt "$peak" ] && peak=$k
        done
        rss+=("$peak")
    done
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$(printf '%s;' "${rows[@]}")" "$goal" \
        "$rss_goal" "${rss[0]}" "${rss[1]}" "${rss[2]:-0}" >>"$results"
done

"$build/bench/scanner_bench" --benchmark_format=json --benchmark_min_time=0.5 \
    >"$out/scanner.json" 2>/dev/null

python3 - "$results" "$out/scanner.json" "$runs" "$rounds" <<'PY'
import json, statistics, sys
results, scanner, runs, rounds = sys.argv[1:5]
print(f"credvane against its floor: median of {rounds} rounds of up to {runs} runs each")
print("wall: ratio of the median wall-clock times; cpu: ratio of the mean user+system times")
print("(process tree included), which a busy neighbour disturbs less; 'before': the older")
print("executable (BEFORE) in the same rounds\n")
print(f"{'case':31} {'wall':>6} {'cpu':>6} {'goal':>5}      {'before':>6} {'cpu':>6}"
      f"  {'credvane':>9} {'floor':>9} {'before':>9}  {'RSS':>7} {'floor':>7} {'before':>7}")
for line in open(results):
    name, rs, goal, rss_goal, rss, floor_rss, before_rss = line.rstrip("\n").split("\t")
    rows = [tuple(map(float, r.split())) for r in rs.strip(";").split(";")]
    med = lambda i: statistics.median(r[i] for r in rows)
    wall, cpu, bwall, bcpu = med(0), med(1), med(4), med(5)
    met = "ok" if wall <= float(goal) else "MISS"
    rmet = "" if int(rss) < int(rss_goal) else " RSS MISS"
    before = f"{bwall:6.3f} {bcpu:6.3f}" if bwall else f"{'-':>6} {'-':>6}"
    bms = f"{med(6) * 1000:7.2f}ms" if bwall else f"{'-':>9}"
    print(f"{name:31} {wall:6.3f} {cpu:6.3f} {goal:>5} {met:4} {before}"
          f"  {med(2) * 1000:7.2f}ms {med(3) * 1000:7.2f}ms {bms}"
          f"  {int(rss):5d}Ki {int(floor_rss):5d}Ki {int(before_rss):5d}Ki{rmet}")
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

#!/usr/bin/env bash
# run.sh: builds the fuzz targets and runs them one after another: each first replays its
# checked-in corpus (tests/fuzz/corpus/<target>), then fuzzes for the given seconds.
#
#   tests/fuzz/run.sh [-b build-dir] [--no-build] [--merge] [seconds-per-target] [target...]
#
#   seconds-per-target  15 when left out (the short run of the test command); 600 is the
#                       long run.
#   target              query auth quote json creds json_line answer scan_diff
#                       issuer_answer issuer_url (all when
#                       left out).
#   -b build-dir        the clang++ build to use or create (default: build-fuzz).
#   --no-build          use the build as it is (ctest passes this).
#   --merge             add the inputs that found new coverage to the checked-in corpus.
#
# Exits 1 when a replay or a run finds a fault; the input that shows it is kept as
# <build-dir>/fuzz-artifacts/<target>-crash-<hash> and the log as
# <build-dir>/fuzz-logs/<target>.log. Targets run in turn, never side by side.
set -u
# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=""
do_build=1
merge=0
seconds=15
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
        -b) build=$2; shift 2 ;;
        --no-build) do_build=0; shift ;;
        --merge) merge=1; shift ;;
        -h|--help) sed -n '2,/^[^#]/{/^#/p}' "$0"; exit 0 ;;
        [0-9]*) seconds=$1; shift ;;
        *) targets+=("$1"); shift ;;
    esac
done
[ ${#targets[@]} -eq 0 ] && targets=(query auth quote json creds json_line answer scan_diff issuer_answer issuer_url)
suite_begin fuzz
[ -n "$build" ] || build="$root/build-fuzz"

if [ $do_build -eq 1 ]; then
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCREDVANE_SANITIZE=ON \
            -DCREDVANE_FUZZ=ON >/dev/null || suite_abort 1
    fi
    cmake --build "$build" -j2 --target fuzz >/dev/null || suite_abort 1
fi

mkdir -p "$build/fuzz-logs" "$build/fuzz-artifacts"
suite_work fuzz
for t in "${targets[@]}"; do
    exe="$build/tests/fuzz/fuzz_$t"
    corpus="$here/corpus/$t"
    log="$build/fuzz-logs/$t.log"
    if [ ! -x "$exe" ]; then
        echo "fuzz $t: no executable at $exe" >&2
        suite_not_ok "$t: not built"
        continue
    fi
    opts=(-timeout=10 -print_final_stats=1 "-artifact_prefix=$build/fuzz-artifacts/$t-")
    case "$t" in
        creds | scan_diff) opts+=(-max_len=16384) ;;
        json | json_line) opts+=(-max_len=8192) ;;
        *) opts+=(-max_len=4096) ;;
    esac
    [ -f "$here/$t.dict" ] && opts+=("-dict=$here/$t.dict")

    # Replay: every checked-in input once, findings of the past included.
    mapfile -d '' seeds < <(find "$corpus" -type f -print0 2>/dev/null | sort -z)
    if [ ${#seeds[@]} -gt 0 ]; then
        if ! "$exe" "${opts[@]}" "${seeds[@]}" >"$log" 2>&1; then
            echo "fuzz $t: replay of the corpus FAILED; see $log" >&2
            tail -n 30 "$log" >&2
            suite_not_ok "$t: replay failed"
            continue
        fi
    fi

    # Fuzz: new inputs go to a scratch folder; the checked-in corpus only seeds the run.
    new="$work/$t"
    mkdir -p "$new"
    start=$(date +%s)
    "$exe" "${opts[@]}" -max_total_time="$seconds" "$new" "$corpus" >>"$log" 2>&1
    rc=$?
    took=$(($(date +%s) - start))
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    peak=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -n 1)
    found=$(find "$new" -type f | wc -l)
    if [ $rc -ne 0 ]; then
        echo "fuzz $t: FAULT after ${took}s; see $log" >&2
        grep -E 'ERROR|fuzz rule broken|detail:|SUMMARY|Test unit written' "$log" | tail -n 12 >&2
        suite_not_ok "$t: FAULT, ${execs:-?} executions in ${took}s"
    else
        suite_ok "$t: ${execs:-?} executions in ${took}s, ${found} new inputs, peak ${peak:-?} MB, no fault"
    fi
    if [ $merge -eq 1 ] && [ $rc -eq 0 ] && [ "$found" -gt 0 ]; then
        mkdir -p "$corpus"
        "$exe" "${opts[@]}" -merge=1 "$corpus" "$new" >>"$log" 2>&1
    fi
    rm -rf "$new"
done

suite_end

#!/usr/bin/env python3
# status_side_by_side.py: status requests running side by side, for one account and for
# one home each, and what that does to throughput and to the latency tail.
#
#   bench/status_side_by_side.py CREDVANE LOGIN_CLI [REQUESTS]
#
# For 1, 4 and 32 requests at a time it runs REQUESTS (default 640) status requests in
# all, each a fresh credvane process as a CGI host starts it, with the login CLI given
# (credvane-login, which reads files only for a status). "one account": every request asks
# for the same account in one home; "own home": each runner has a home of its own, so
# nothing is shared but the machine. It prints requests per second, the median and the
# 99th percentile of the latency, and the ratio of the two. Nothing here asserts: the
# figures are for reading (bench/README.md).
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

CREDS = '{"tokens":{"access_token":"eyJhbGciOiJub25lIn0.eyJleHAiOjQxMDI0NDQ4MDB9.c2ln",' \
        '"refresh_token":"r","account_id":"acc-1"},"last_refresh":"2026-01-01T00:00:00Z"}'


def make_home(root, name):
    home = os.path.join(root, name)
    os.makedirs(os.path.join(home, ".codex"), mode=0o700)
    with open(os.path.join(home, ".codex", "auth.json"), "w") as f:
        f.write(CREDS)
    return home


def environment(home, login_cli):
    return {
        "PATH": "/usr/bin:/bin",
        "HOME": home,
        "GATEWAY_INTERFACE": "CGI/1.1",
        "REQUEST_METHOD": "GET",
        "QUERY_STRING": "action=status",
        "CODEX_LOGIN_BIN": login_cli,
    }


def one_round(credvane, envs, total):
    """Runs total requests, len(envs) at a time; runner i uses envs[i]."""
    latencies = []
    guard = threading.Lock()
    left = [total]

    def runner(env):
        mine = []
        while True:
            with guard:
                if left[0] == 0:
                    break
                left[0] -= 1
            t0 = time.perf_counter()
            done = subprocess.run([credvane], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
            mine.append(time.perf_counter() - t0)
            if b'"cli_present":true' not in done.stdout:
                sys.exit("unexpected answer: " + done.stdout[-300:].decode(errors="replace"))
        with guard:
            latencies.extend(mine)

    threads = [threading.Thread(target=runner, args=(e,)) for e in envs]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wall = time.perf_counter() - start
    return total / wall, latencies


def percentile(sorted_values, p):
    k = max(0, min(len(sorted_values) - 1, int(round(p / 100.0 * len(sorted_values))) - 1))
    return sorted_values[k]


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__ if __doc__ else "usage: status_side_by_side.py CREDVANE LOGIN_CLI [N]")
    credvane = os.path.abspath(sys.argv[1])
    login_cli = os.path.abspath(sys.argv[2])
    total = int(sys.argv[3]) if len(sys.argv) > 3 else 640
    root = tempfile.mkdtemp(prefix="credvane-bench-")
    try:
        shared = make_home(root, "shared")
        homes = [make_home(root, "own-%d" % i) for i in range(32)]
        print("%-12s %4s %10s %10s %10s %8s" % ("case", "at", "req/s", "p50 ms", "p99 ms",
                                                "p99/p50"))
        base = {}
        for label in ("one account", "own home"):
            for width in (1, 4, 32):
                envs = [environment(shared if label == "one account" else homes[i], login_cli)
                        for i in range(width)]
                one_round(credvane, envs, min(total, 4 * width))  # warm the caches
                rate, lat = one_round(credvane, envs, total)
                lat.sort()
                p50 = statistics.median(lat) * 1000
                p99 = percentile(lat, 99) * 1000
                base.setdefault(label, rate)
                print("%-12s %4d %10.1f %10.2f %10.2f %8.2f   x%.2f of one at a time" %
                      (label, width, rate, p50, p99, p99 / p50, rate / base[label]))
    finally:
        shutil.rmtree(root)


if __name__ == "__main__":
    main()

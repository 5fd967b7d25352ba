#!/usr/bin/env bash
# run.sh: the real Codex CLI (the pinned npm package) against the stand-in issuer, with credvane
# and its login and refresh CLIs from a build, and the stand-in issuer's own tests.
#
#   tests/codex/run.sh BUILD_DIR [TEST_FILE...]
#   (default: every tests/codex/*.test.js)
#
# Where the machine allows it, everything runs in a network namespace of its own with only a
# loopback device: neither CLI can reach anything but the stand-in, whatever it tries. Without
# one, the CLIs are pointed at the stand-in by their settings alone.
# Prints node's test summary last ("# pass N", "# fail N").
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [TEST_FILE...]" >&2
    exit 2
fi
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "$1" && pwd)"
shift

if [ -z "${CV_CODEX_ISOLATED:-}" ]; then
    missing=()
    command -v node >/dev/null || missing+=(nodejs npm)
    command -v ip >/dev/null || missing+=(iproute2)
    if [ ${#missing[@]} -gt 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
    cd "$root"
    # The pinned CLI, as package-lock.json names it (the browser tests may have installed it).
    if [ "$(node -p 'try { require("@openai/codex/package.json").version } catch { "" }')" != \
         "$(node -p 'require("./package-lock.json").packages["node_modules/@openai/codex"].version')" ]; then
        npm ci --no-audit --no-fund --loglevel=error >/dev/null
    fi
    if unshare -n ip link set lo up 2>/dev/null; then
        exec unshare -n env CV_CODEX_ISOLATED=1 bash -c 'ip link set lo up && exec bash "$0" "$@"' \
            "$0" "$build" "$@"
    fi
    echo "run.sh: no network namespace here; the CLIs are kept on 127.0.0.1 by their settings" >&2
fi
cd "$root"

# The native binary the package's launcher would start, found through the launcher's own
# package so that its platform package is the one npm chose.
CODEX_BIN="$(node -e '
const path = require("node:path"), fs = require("node:fs");
const dir = path.join(path.dirname(require.resolve("@openai/codex/package.json")), "..");
for (const p of fs.readdirSync(dir).filter((d) => d.startsWith("codex-"))) {
  const vendor = path.join(dir, p, "vendor");
  if (!fs.existsSync(vendor)) continue;
  for (const t of fs.readdirSync(vendor)) {
    const bin = path.join(vendor, t, "bin", "codex");
    if (fs.existsSync(bin)) { console.log(bin); process.exit(0); }
  }
}
process.exit(1);
')" || {
    echo "run.sh: the platform package of @openai/codex is not installed" >&2
    exit 1
}
export CODEX_BIN CV_BUILD="$build"
"$CODEX_BIN" --version

if [ $# -gt 0 ]; then
    files=("$@")
else
    files=(tests/codex/*.test.js)
fi
node --test --test-concurrency=1 "${files[@]}"

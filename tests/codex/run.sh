#!/usr/bin/env bash
# run.sh: the real Codex CLI against the stand-in issuer, with credvane and its login and
# refresh CLIs from a build, and the stand-in issuer's own tests.
#
#   [CODEX_VERSION=0.171.0] tests/codex/run.sh BUILD_DIR [TEST_FILE...]
#   (default: every tests/codex/*.test.js)
#
# CODEX_VERSION picks the Codex CLI (npm package @openai/codex): the one package-lock.json pins
# when unset; tests/codex/versions lists those CI runs, which tools/deps.sh installs.
#
# Where the machine allows it, everything runs in a network namespace of its own with only a
# loopback device: neither CLI can reach anything but the stand-in, whatever it tries. Without
# one, the CLIs are pointed at the stand-in by their settings alone.
# Ends with the line "codex VERSION: N passed, M failed".
set -euo pipefail

# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [TEST_FILE...]" >&2
    exit 2
fi
# Named again below once the version is known.
suite_begin "codex${CODEX_VERSION:+ $CODEX_VERSION}"
suite_build "$1"
shift
suite_need node
suite_needs_met
cd "$root"
pinned="$(node -p 'require("./package-lock.json").packages["node_modules/@openai/codex"].version')"
export CODEX_VERSION="${CODEX_VERSION:-$pinned}"
suite_begin "codex $CODEX_VERSION"
# Where that version's package is: node_modules/ for the pinned one, build-codex/VERSION/ for
# the others.
if [ "$CODEX_VERSION" = "$pinned" ]; then
    modules="$root/node_modules"
else
    modules="$root/build-codex/$CODEX_VERSION/node_modules"
fi
have="$(node -p "try { require('$modules/@openai/codex/package.json').version } catch { '' }")"
if [ "$have" != "$CODEX_VERSION" ]; then
    echo "run.sh: @openai/codex $CODEX_VERSION is not installed in $modules (tools/deps.sh installs it)" >&2
    suite_abort 1
fi

if [ -z "${CV_CODEX_ISOLATED:-}" ]; then
    if command -v ip >/dev/null && unshare -n ip link set lo up 2>/dev/null; then
        exec unshare -n env CV_CODEX_ISOLATED=1 bash -c 'ip link set lo up && exec bash "$0" "$@"' \
            "$root/tests/codex/run.sh" "$build" "$@"
    fi
    echo "run.sh: no network namespace here; the CLIs are kept on 127.0.0.1 by their settings" >&2
fi

# The native binary the package's launcher would start: in the platform package that npm chose
# for this version beside it.
CODEX_BIN="$(node -e '
const path = require("node:path"), fs = require("node:fs");
const dir = path.join(process.argv[1], "@openai");
for (const p of fs.readdirSync(dir).filter((d) => d.startsWith("codex-"))) {
  const vendor = path.join(dir, p, "vendor");
  if (!fs.existsSync(vendor)) continue;
  for (const t of fs.readdirSync(vendor)) {
    const bin = path.join(vendor, t, "bin", "codex");
    if (fs.existsSync(bin)) { console.log(bin); process.exit(0); }
  }
}
process.exit(1);
' "$modules")" || {
    echo "run.sh: the platform package of @openai/codex $CODEX_VERSION is not installed" >&2
    suite_abort 1
}
export CODEX_BIN CV_BUILD="$build"
"$CODEX_BIN" --version

if [ $# -gt 0 ]; then
    files=("$@")
else
    files=(tests/codex/*.test.js)
fi
# node's own summary ("# pass N", "# fail N") becomes the suite's line.
suite_node_test node --test --test-concurrency=1 "${files[@]}"

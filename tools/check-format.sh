#!/usr/bin/env bash
# check-format.sh: every C and C++ file of the checkout against the repository's .clang-format,
# with Debian's clang-format. Names each file that differs and how to fix it; ends with
# "format: N passed, M failed" (N files that match, M that do not). Exit status 0 when all match.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "format: clang-format is missing (tools/deps.sh)"; echo "format: 0 passed, 1 failed"; exit 1; }
passed=0
failed=0
while IFS= read -r -d '' f; do
    if clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then
        passed=$((passed + 1))
    else
        echo "not formatted: $f (clang-format -i $f)"
        failed=$((failed + 1))
    fi
done < <(git ls-files -z -- '*.cc' '*.h' '*.c')
echo "format: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# check-format.sh: every C and C++ file of the checkout against the repository's .clang-format,
# with Debian's clang-format. Names each file that differs and how to fix it; the check is one
# case of the test run: "format: 1 passed, 0 failed" when every file matches. Exit status 0 then.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "format: clang-format is missing (tools/deps.sh)"; echo "format: 0 passed, 1 failed"; exit 1; }
files=0
failed=0
while IFS= read -r -d '' f; do
    if clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then
        files=$((files + 1))
    else
        echo "not formatted: $f (clang-format -i $f)"
        failed=$((failed + 1))
    fi
done < <(git ls-files -z -- '*.cc' '*.h' '*.c')
echo "$files files match, $failed do not"
if [ "$failed" -eq 0 ]; then echo "format: 1 passed, 0 failed"; else echo "format: 0 passed, 1 failed"; exit 1; fi

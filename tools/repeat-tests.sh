#!/usr/bin/env bash
# Runs chosen suites many times in a row, for chasing a flaky test:
#   bash tools/repeat-tests.sh N [PATTERN] [BUILD_DIR]
# PATTERN selects suites as ctest -R does (all of them when empty or left out), BUILD_DIR is a
# build folder with tests (build/ by default). A sanitizer build (EMBERCREST_SANITIZE) runs with
# the sanitizer pass's environment. Stops at the first round that fails, shows its output and
# says which round it was; the exit code is non-zero then.
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: bash tools/repeat-tests.sh N [ctest -R pattern] [build dir]"
rounds=${1:?$usage}
pattern=${2:-}
dir=${3:-build}
[[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "N is a number of rounds, 1 or more. $usage" >&2; exit 2; }
[ -f "$dir/CTestTestfile.cmake" ] || { echo "$dir/ holds no build with tests. $usage" >&2; exit 2; }
if grep -q '^EMBERCREST_SANITIZE:BOOL=ON$' "$dir/CMakeCache.txt"; then
    . tools/sanitizer-env.sh
fi

args=(--test-dir "$dir" --output-on-failure)
[ -z "$pattern" ] || args+=(-R "$pattern")
# A pattern that matches nothing would "pass" every round.
count=$(ctest "${args[@]}" -N | sed -n 's/^Total Tests: //p')
[ "${count:-0}" -gt 0 ] || { echo "no suite in $dir/ matches '$pattern'" >&2; exit 2; }

log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "$count suite(s) from $dir/${pattern:+ matching '$pattern'}, $rounds round(s)"
start=$SECONDS
for ((round = 1; round <= rounds; round++)); do
    round_start=$SECONDS
    if ! ctest "${args[@]}" >"$log" 2>&1; then
        cat "$log"
        echo "FAILED in round $round of $rounds ($((SECONDS - round_start)) s; $((round - 1)) round(s) passed before it, in $((round_start - start)) s)"
        exit 1
    fi
    echo "round $round/$rounds passed ($((SECONDS - round_start)) s)"
done
echo "all $rounds rounds passed ($((SECONDS - start)) s)"

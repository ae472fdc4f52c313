#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite: first the normal build with
# Qt 5, then the same suites built with AddressSanitizer and UndefinedBehaviorSanitizer (Qt 5),
# then the normal build with Qt 6. Every pass runs even when an earlier one failed; a summary
# line per pass ends the output, and the exit code is non-zero when anything failed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh

summary=()
failed=0

# record NAME OUTCOME START: one summary line, with the time since START.
record() {
    local took=$((SECONDS - $3))
    summary+=("$(printf '%-7s %s (%dm%02ds)' "$1:" "$2" $((took / 60)) $((took % 60)))")
}

# The tree stays formatted (.clang-format at the root).
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    start=$SECONDS
    if git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror; then
        record format "passed" "$start"
    else
        record format "FAILED: files not formatted (see above)" "$start"
        failed=1
    fi
fi

# run_pass NAME BUILD_DIR ENV_FILE [CMAKE ARGUMENTS...]: builds into BUILD_DIR and runs its suites,
# with the variables of ENV_FILE when one is given.
run_pass() {
    local name=$1 dir=$2 env_file=$3 start=$SECONDS log
    shift 3
    log=$(mktemp)
    echo "=== $name: building in $dir/"
    if ! BUILD_DIR=$dir bash tools/build.sh "$@"; then
        record "$name" "FAILED to build" "$start"
        failed=1
    elif ! (
        [ -z "$env_file" ] || . "$env_file"
        ctest --test-dir "$dir" --output-on-failure | tee "$log"
    ); then
        # "95% tests passed, 1 tests failed out of 25" and the names of the failed suites.
        local counts names
        counts=$(grep -m 1 'tests passed' "$log" || echo "ctest failed")
        names=$(sed -n '/The following tests FAILED/,$s/^[[:space:]]*[0-9]* - \([^ ]*\).*/\1/p' "$log" |
            tr '\n' ' ')
        record "$name" "FAILED: $counts${names:+ (${names% })}" "$start"
        failed=1
    else
        record "$name" "passed: $(grep -m 1 'tests passed' "$log" || true)" "$start"
    fi
    rm -f "$log"
}

run_pass qt5 build ""
run_pass asan build-asan tools/sanitizer-env.sh -DCMAKE_BUILD_TYPE=Debug -DEMBERCREST_SANITIZE=ON
# The same sources with Qt 6 (the sanitizer pass stays on Qt 5, to keep CI short).
run_pass qt6 build-qt6 "" -DEMBERCREST_QT_MAJOR=6

echo
echo "=== Summary"
printf '%s\n' "${summary[@]}"
exit "$failed"

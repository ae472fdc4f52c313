#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite: first the normal build, then
# the same suites built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh

bash tools/build.sh
ctest --test-dir build --output-on-failure

BUILD_DIR=build-asan bash tools/build.sh -DCMAKE_BUILD_TYPE=Debug -DEMBERCREST_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1 \
LSAN_OPTIONS=suppressions=$PWD/tests/sanitizers/lsan.supp \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
QT_XCB_GL_INTEGRATION=none \
    ctest --test-dir build-asan --output-on-failure

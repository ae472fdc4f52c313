#!/usr/bin/env bash
# Builds the libFuzzer target fuzz_manifest with clang into ./build-fuzz and fuzzes the manifest
# reading for SECONDS (default 600) in one process. New inputs collect in build-fuzz/corpus (the
# seeds in tests/fuzz/corpus stay untouched), crashes and broken invariants in
# build-fuzz/artifacts/. Extra arguments go to the fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
. tools/lib/common.sh

install_missing clang libclang-rt-dev

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DEMBERCREST_FUZZ=ON -DEMBERCREST_BUILD_TESTS=OFF -DEMBERCREST_WERROR=ON
cmake --build build-fuzz --target fuzz_manifest --parallel "${JOBS:-2}"

mkdir -p build-fuzz/corpus build-fuzz/artifacts
# Leak detection is off here: Qt 5.15's JSON parser leaks on repeated member names, and telling
# that leak apart needs full allocation stacks, which slow the fuzzer tenfold. tst_manifestfuzz
# checks the seeds and its mutations for leaks with full stacks in every sanitizer test run.
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build-fuzz/tests/fuzz/fuzz_manifest -max_total_time="$seconds" \
    -dict=tests/fuzz/manifest.dict -artifact_prefix=build-fuzz/artifacts/ -print_final_stats=1 \
    -rss_limit_mb=4096 \
    "$@" build-fuzz/corpus tests/fuzz/corpus

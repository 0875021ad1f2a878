#!/usr/bin/env bash
# Builds the whole suite with AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
# and runs it. The crash tests kill their own children and run in the plain build only.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
rm -rf build-asan
cmake -S . -B build-asan -DQM_SANITIZE=ON -DQM_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
cmake --build build-asan -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j2 -E 'CrashConsistency'

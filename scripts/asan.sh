#!/usr/bin/env bash
# The unit suite under AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer
# (cpu backend, preset asan). Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$(nproc)"
ctest --preset asan -L unit -j"$(nproc)"

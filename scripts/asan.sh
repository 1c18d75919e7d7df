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

# The viewers under the same sanitizers: the monkey tests (label monkey, run one at a time).
# Leak checking is off in them: Mesa's software GL driver (swrast_dri.so), which every
# viewer loads under Xvfb, keeps allocations to the end and is unloaded before the leak
# check runs, so its reports name no module and cannot be told apart by a suppression.
# Our own buffers' leaks are caught by the unit suite above (the churn tests).
if command -v Xvfb >/dev/null && command -v xdotool >/dev/null; then
  # Not through the test preset, whose environment would turn leak checking back on.
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1" \
    ctest --test-dir build/asan -L monkey --output-on-failure
fi

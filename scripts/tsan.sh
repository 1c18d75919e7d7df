#!/usr/bin/env bash
# The unit suite under ThreadSanitizer (cpu backend, preset tsan): the runtime's worker
# pool and fibers, and every program's kernels run on several workers at once. Any race
# report fails the run. Deliberate, harmless races are named in scripts/tsan.supp.
set -euo pipefail
cd "$(dirname "$0")/.."
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:allocator_may_return_null=1:suppressions=$PWD/scripts/tsan.supp"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"$(nproc)"
ctest --preset tsan -L unit -j"$(nproc)"

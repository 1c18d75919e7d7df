#!/usr/bin/env bash
# Builds the benchmark in release mode and prints its table: scripts/bench.sh [cpu|cuda] [section...]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-cpu}
shift || true
bash scripts/setup.sh >/dev/null
export PATH="$PATH:/usr/local/cuda/bin"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)" --target gpudemos_bench
build/"$preset"/bin/gpudemos_bench "$@"

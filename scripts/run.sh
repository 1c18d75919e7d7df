#!/usr/bin/env bash
# Builds the programs with the automatic backend (cuda when nvcc and a device are found,
# else cpu) and starts one of them: scripts/run.sh [fractview|spherecast|gravsim|clusterview|oilbrush]
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:-fractview}
bash scripts/setup.sh
export PATH="$PATH:/usr/local/cuda/bin"
cmake -S . -B build/auto -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/auto -j"$(nproc)" --target "$program"
exec build/auto/bin/"$program"

#!/usr/bin/env bash
# Builds the cpu backend and runs every test (unit and end-to-end). Where nvcc and a
# CUDA device are both present, the cuda backend is built and tested too.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
cmake --preset cpu >/dev/null
cmake --build --preset cpu -j"$jobs"
ctest --preset cpu -j"$jobs"
export PATH="$PATH:/usr/local/cuda/bin"
if command -v nvcc >/dev/null && nvidia-smi -L >/dev/null 2>&1; then
    cmake --preset cuda >/dev/null
    cmake --build --preset cuda -j"$jobs"
    ctest --preset cuda -j"$jobs"
fi

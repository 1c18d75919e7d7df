#!/usr/bin/env bash
# Fuzzes the PNG reader for a number of seconds (default 60); exits non-zero on a crash.
#   scripts/fuzz-png.sh [seconds]
# Builds with clang, libFuzzer, AddressSanitizer and UBSan into build/fuzz-png; the seed
# corpus is written by the tests' seed generator, never taken from outside.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build/fuzz-png}"
work="$build/fuzz-work"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DGPUDEMOS_FUZZ=ON -DGPU_BACKEND=cpu \
    -DGPUDEMOS_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build.configure.log" 2>&1 \
    || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" --target png_fuzz png_seed_corpus -j2

rm -rf "$work"
mkdir -p "$work/seeds" "$work/corpus" "$work/artifacts"
"$build/tests/png_seed_corpus" "$work/seeds"

# -close_fd_mask=1 silences the codec's own stdout lines (zlib messages and the like).
"$build/bin/png_fuzz" -max_total_time="$seconds" -close_fd_mask=1 -max_len=65536 -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
    "$work/corpus" "$work/seeds"
echo "fuzz-png: no crash in ${seconds}s"

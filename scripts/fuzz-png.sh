#!/usr/bin/env bash
# Fuzzes the PNG reader for a number of seconds (default 60); exits non-zero on a crash.
#   scripts/fuzz-png.sh [seconds]           fuzz; what it finds stays under build/
#   scripts/fuzz-png.sh --merge [seconds]   fuzz, then minimise the kept corpus plus the
#                                           new finds into tests/png/corpus (small files)
# Builds with clang, libFuzzer, AddressSanitizer and UBSan into build/fuzz-png. Seeds are
# the corpus kept in the repository (tests/png/corpus, read only here unless --merge) and
# the files the tests' seed generator writes; nothing is taken from outside.
set -euo pipefail

merge=0
if [ "${1:-}" = "--merge" ]; then
    merge=1
    shift
fi
seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build/fuzz-png}"
work="$build/fuzz-work"
kept="$root/tests/png/corpus"
max_kept=4096  # bytes a file may have to go into the repository

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DGPUDEMOS_FUZZ=ON -DGPU_BACKEND=cpu \
    -DGPUDEMOS_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build.configure.log" 2>&1 \
    || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" --target png_fuzz png_seed_corpus -j2

rm -rf "$work"
mkdir -p "$work/seeds" "$work/found" "$work/artifacts"
"$build/tests/png_seed_corpus" "$work/seeds"
mkdir -p "$kept"

# New inputs go into the first folder only (found); the others are read.
# -close_fd_mask=1 silences the codec's own stdout lines (zlib messages and the like).
set +e
"$build/bin/png_fuzz" -max_total_time="$seconds" -close_fd_mask=1 -max_len=65536 -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
    "$work/found" "$kept" "$work/seeds" 2>&1 | tee "$work/fuzz.log"
status=${PIPESTATUS[0]}
set -e
[ "$status" -eq 0 ] || { echo "fuzz-png: the fuzzer failed (status $status), see $work/artifacts"; exit "$status"; }
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz.log")
echo "fuzz-png: no crash in ${seconds}s, ${runs:-?} executions"

if [ "$merge" -eq 1 ]; then
    # Everything small enough, minimised into a fresh folder: the smallest set of files
    # that keeps every feature the fuzzer has seen.
    mkdir -p "$work/candidates" "$work/merged"
    find "$kept" "$work/found" "$work/seeds" -type f -size -$((max_kept + 1))c \
        -exec cp -t "$work/candidates" {} +
    before_files=$(find "$work/candidates" -type f | wc -l)
    before_bytes=$(cat "$work/candidates"/* | wc -c)
    "$build/bin/png_fuzz" -merge=1 -close_fd_mask=1 -max_len="$max_kept" -timeout=10 \
        "$work/merged" "$work/candidates" >"$work/merge.log" 2>&1 \
        || { cat "$work/merge.log"; exit 1; }
    find "$kept" -type f -delete
    cp "$work/merged"/* "$kept"/
    after_files=$(find "$kept" -type f | wc -l)
    after_bytes=$(cat "$kept"/* | wc -c)
    echo "fuzz-png: merged $before_files files ($before_bytes bytes) into $after_files ($after_bytes bytes) in $kept"
fi

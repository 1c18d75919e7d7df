#!/usr/bin/env bash
# Builds the benchmark in release mode and prints its table:
#   scripts/bench.sh [cpu|cuda] [--csv FILE] [--quick] [section...]
# The cost curves, drawn with gnuplot as log-log charts into docs/img/scaling-PROGRAM.png:
# and the price of a barrier by block size into docs/img/barrier-cost.png:
#   scripts/bench.sh [cpu|cuda] --plot [--quick]   runs the scaling and barriers sections with --csv first
#   scripts/bench.sh --plot-from FILE [LABEL]      draws from a CSV written elsewhere (a GPU's)
set -euo pipefail
cd "$(dirname "$0")/.."

# One chart per program, every mode a curve, each labelled with its fitted exponent.
plot() {
    local csv=$1 label=$2
    command -v gnuplot >/dev/null || { echo "bench.sh: gnuplot is not installed (scripts/setup.sh installs it)" >&2; exit 1; }
    mkdir -p docs/img
    local tmp
    tmp=$(mktemp -d)
    local program unit drawn=0
    for program in fractview:"iteration cap" spherecast:"sphere count" gravsim:"body count" clusterview:"point count"; do
        unit=${program#*:}
        program=${program%%:*}
        # Blocks of "n ms" lines (the fastest run, min_ms, as the bench's fits use), two blank
        # lines apart, each under a quoted title; the numeric columns come before the free
        # text in the CSV, so splitting on commas is safe.
        awk -F, -v prog="$program" '
            NR > 1 && $1 == "scaling" && $2 == prog && $8 > 0 {
                if (!($3 in seen)) { seen[$3] = ++k; name[k] = $3 }
                s = seen[$3]; c = ++count[s]; n[s, c] = $4; ms[s, c] = $6
            }
            END {
                for (s = 1; s <= k; ++s) {
                    sx = sy = sxx = sxy = 0; m = count[s]
                    for (c = 1; c <= m; ++c) {
                        x = log(n[s, c]); y = log(ms[s, c]); sx += x; sy += y; sxx += x * x; sxy += x * y
                    }
                    fit = m > 1 ? (m * sxy - sx * sy) / (m * sxx - sx * sx) : 0
                    if (s > 1) printf "\n\n"
                    printf "\"%s: n^{%.2f}\"\n", name[s], fit
                    for (c = 1; c <= m; ++c) print n[s, c], ms[s, c]
                }
            }' "$csv" >"$tmp/$program.dat"
        local series
        series=$(grep -c '^"' "$tmp/$program.dat" || true)
        if [ "$series" -eq 0 ]; then
            echo "bench.sh: no scaling rows for $program in $csv" >&2
            continue
        fi
        gnuplot <<EOF
set terminal pngcairo size 900,600 font "sans,11"
set output "docs/img/scaling-$program.png"
set logscale xy
set grid xtics ytics mxtics mytics
set xlabel "$unit"
set ylabel "ms per frame (fastest run)"
set title "$program: time per frame against $unit, log-log\n{/*0.8 $label}"
set key left top
plot for [i=0:$((series - 1))] "$tmp/$program.dat" index i using 1:2 with linespoints pointtype 7 title columnheader(1)
EOF
        echo "bench.sh: docs/img/scaling-$program.png ($series modes)"
        drawn=$((drawn + 1))
    done
    # The price of __syncthreads() for one thread, by block size (section "barriers"),
    # beside the same rows of the backend before its own context switch (a CSV kept in
    # bench/, written by that build's gpudemos_bench --csv).
    local row='NR > 1 && $1 == "barriers" && $3 == "__syncthreads() per thread" && $8 > 0 { print $4, $5 * 1e6 }'
    local fibers='NR > 1 && $1 == "barriers" && $3 == "__syncthreads() per thread on fibers" && $8 > 0 { print $4, $5 * 1e6 }'
    awk -F, "$row" "$csv" >"$tmp/barrier.dat"
    awk -F, "$fibers" "$csv" >"$tmp/fibers.dat"
    awk -F, "$row" bench/barrier-cost-before.csv >"$tmp/before.dat"
    if [ -s "$tmp/barrier.dat" ]; then
        gnuplot <<EOF
set terminal pngcairo size 900,600 font "sans,11"
set output "docs/img/barrier-cost.png"
set logscale x 2
set grid xtics ytics
set xlabel "threads a block"
set ylabel "ns a thread a barrier (median)"
set yrange [0:*]
set key left top
set title "cpu backend: the price of a block barrier (syncthreads) for one thread, on one worker\\n{/*0.8 $label}"
plot "$tmp/barrier.dat" using 1:2 with linespoints pointtype 7 title "loops split at the barriers (what the parser proves)", \\
     "$tmp/fibers.dat" using 1:2 with linespoints pointtype 5 title "fibers, own context switch, thread to thread", \\
     "$tmp/before.dat" using 1:2 with linespoints pointtype 6 title "before: Boost.Context fibers, every switch through the worker", \\
     10 with lines dashtype 2 title "bar: 10 ns"
EOF
        echo "bench.sh: docs/img/barrier-cost.png"
        drawn=$((drawn + 1))
    fi
    rm -rf "$tmp"
    [ "$drawn" -gt 0 ]
}

if [ "${1:-}" = "--plot-from" ]; then
    [ $# -ge 2 ] || { echo "usage: scripts/bench.sh --plot-from FILE.csv [LABEL]" >&2; exit 2; }
    plot "$2" "${3:-from $2}"
    exit
fi

preset=cpu
case "${1:-}" in cpu | cuda) preset=$1; shift ;; esac
plotting=0
args=()
for a in "$@"; do
    if [ "$a" = "--plot" ]; then plotting=1; else args+=("$a"); fi
done
bash scripts/setup.sh >/dev/null
export PATH="$PATH:/usr/local/cuda/bin"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)" --target gpudemos_bench
bench=build/"$preset"/bin/gpudemos_bench
if [ "$plotting" -eq 0 ]; then
    exec "$bench" ${args[@]+"${args[@]}"}
fi
csv=build/$preset/scaling.csv
"$bench" --csv "$csv" ${args[@]+"${args[@]}"} scaling barriers | tee build/"$preset"/scaling.md
machine=$(sed -n 's/^Machine: //p' build/"$preset"/scaling.md)
plot "$csv" "$preset backend, $machine, $(date +%F)"

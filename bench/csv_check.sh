#!/usr/bin/env bash
# The benchmark's CSV against its table: gpudemos_bench --quick --csv, on the scaling and
# peer sections. Every table row is a CSV row with the same numbers; every scaling row has
# its count and a time; each mode's sweep is there; the peer row ran or says it skipped.
#   csv_check.sh BENCH_EXECUTABLE WORK_DIR
set -euo pipefail
bench=$1 dir=$2
mkdir -p "$dir"
"$bench" --quick --csv "$dir/out.csv" scaling fractview_peer >"$dir/out.md" 2>"$dir/out.log"
fail() { echo "csv check: $*"; exit 1; }

[ "$(head -n1 "$dir/out.csv")" = "section,group,series,n,median_ms,min_ms,max_ms,reps,row,note" ] ||
    fail "header is $(head -n1 "$dir/out.csv")"
# The main table: from its header to the first blank line.
table_rows=$(awk '/^\| area \| row \|/ { on = 1; next } on && /^$/ { exit } on && /^\| [^-]/ { n++ } END { print n + 0 }' \
    "$dir/out.md")
csv_rows=$(($(wc -l <"$dir/out.csv") - 1))
[ "$table_rows" -eq "$csv_rows" ] || fail "$table_rows table rows, $csv_rows CSV rows"

# Quick mode: two counts for each of the 11 modes (2 + 3 + 4 + 2), less the GPU modes a
# cuda build without a device skips.
skipped=$(grep -c 'no CUDA device, skipped' "$dir/out.log" || true)
awk -F, -v modes_expected=$((11 - skipped)) 'NR > 1 && $1 == "scaling" {
        rows++
        if (!($4 > 0 && $5 > 0 && $6 > 0 && $6 <= $5 && $5 <= $7 && $8 > 0)) { print "bad row: " $0; bad = 1 }
        series[$2 " " $3]++
    }
    END {
        for (s in series) { modes++; if (series[s] != 2) { print s ": " series[s] " rows"; bad = 1 } }
        if (rows != 2 * modes_expected || modes != modes_expected) { print rows " scaling rows in " modes " modes"; bad = 1 }
        exit bad
    }' "$dir/out.csv" || fail "scaling rows wrong"

# The peer: three timed rows (ours and PoCL's in turns, PoCL back to back) and the image
# bar met, or one row that says why it skipped.
if grep -q '^fractview_peer,.*skipped' "$dir/out.csv"; then
    echo "csv check: peer row skipped ($(grep -o 'skipped: [^|]*' "$dir/out.md" | head -n1))"
else
    [ "$(grep -c '^fractview_peer,' "$dir/out.csv")" -eq 3 ] || fail "peer rows missing"
    grep -q "^| fractview: pixels of the PoCL images unlike juliaColorGPU's (two views) | 0.00 | <= 0.00 | met |" \
        "$dir/out.md" || fail "PoCL images differ from juliaColorGPU's"
fi
echo "csv check: $csv_rows rows, table and CSV agree"

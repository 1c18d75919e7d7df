#!/usr/bin/env bash
# Compiles kernel sources to PTX with the build's device flags and fails on every
# instruction that would break "CPU and GPU modes give the same bits": a fused
# multiply-add on floating point (fma.*, mad.* on .f16/.bf16/.f32/.f64); a floating-point
# add, sub or mul without a rounding modifier, which ptxas is free to fuse into one; or an
# approximate division, reciprocal, square root or transcendental (*.approx, div.full).
# Integer mad (mad.lo.s32, mad.wide.u32, ...) is exact and not a finding.
#
#   ptx_check.sh [--expect N] --nvcc NVCC --out DIR [nvcc flags...] -- file.cu...
#   ptx_check.sh --table FILE     checks the classifier against rows "finding|clean <instr>"
#
# Status: 0 clean, 1 findings (each named: source, function, PTX line, instruction),
# 2 tool error (nvcc missing or failing, no instruction seen at all). With --expect N the
# status is 0 when the check ended with N and 1 otherwise, so a planted fault can be
# required to give findings, not a tool error.
set -uo pipefail

expect=""
nvcc=""
out=""
table=""
flags=()
while [ $# -gt 0 ]; do
    case "$1" in
        --expect) expect=$2; shift 2 ;;
        --nvcc) nvcc=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        --table) table=$2; shift 2 ;;
        --) shift; break ;;
        *) flags+=("$1"); shift ;;
    esac
done
sources=("$@")

# scan <label> <file.ptx>: first line "<instructions> <findings>", then one line per
# finding: "<label>: <function>: PTX line <n>: <instruction>".
scan() {
    awk -v src="$1" '
        function opcode(line) {
            sub(/\/\/.*/, "", line)
            sub(/^[ \t]+/, "", line)
            sub(/^@!?%?[A-Za-z0-9_]+[ \t]+/, "", line)
            split(line, parts, /[ \t;]/)
            return parts[1]
        }
        /^[ \t]*(\.visible[ \t]+|\.weak[ \t]+|\.extern[ \t]+)*\.(entry|func)[ \t(]/ {
            f = $0
            sub(/.*\.(entry|func)[ \t]*/, "", f)
            sub(/^\([^)]*\)[ \t]*/, "", f)
            sub(/[ \t(].*/, "", f)
            fn = f
            next
        }
        {
            op = opcode($0)
            if (op !~ /^[a-z][a-z0-9]*(\.[a-z0-9]+)*$/) next
            n++
            isfloat = op ~ /\.(f16|f16x2|bf16|bf16x2|f32|f64)$/
            if ((isfloat && op ~ /^(fma|mad)\./) ||
                (isfloat && op ~ /^(add|sub|mul)\./ && op !~ /\.(rn|rz|rm|rp)\./) ||
                op ~ /^(div|rcp|sqrt|rsqrt|ex2|lg2|sin|cos|tanh)\.approx(\.|$)/ ||
                op ~ /^div\.full(\.|$)/) {
                line = $0
                sub(/^[ \t]+/, "", line)
                hits[++k] = src ": " fn ": PTX line " NR ": " line
            }
        }
        END {
            print n + 0, k + 0
            for (i = 1; i <= k; i++) print hits[i]
        }' "$2"
}

# Each row of the table as one instruction of a made-up kernel; the rows the scan flags
# must be exactly the "finding" rows.
check_table() {
    local ptx flagged row=0 kind instr said bad=0
    [ -r "$table" ] || { echo "ptx check: tool error: $table missing"; return 2; }
    ptx=$(mktemp) || return 2
    {
        echo ".visible .entry table("
        echo "{"
        awk 'NF && $1 !~ /^#/ { $1 = ""; print "\t" substr($0, 2) }' "$table"
        echo "}"
    } >"$ptx"
    # Rows start on PTX line 3.
    flagged=" $(scan table "$ptx" | tail -n +2 | sed 's/.*PTX line \([0-9]*\):.*/\1/' | tr '\n' ' ')"
    rm -f "$ptx"
    while read -r kind instr; do
        [ -z "$kind" ] || [[ $kind == \#* ]] && continue
        row=$((row + 1))
        said=clean
        [[ $flagged == *" $((row + 2)) "* ]] && said=finding
        if [ "$kind" != finding ] && [ "$kind" != clean ]; then
            echo "ptx check: tool error: row $row of $table is neither finding nor clean"
            return 2
        fi
        if [ "$said" != "$kind" ]; then
            echo "ptx check: $instr: classified $said, the table says $kind"
            bad=$((bad + 1))
        fi
    done <"$table"
    if [ "$row" -eq 0 ]; then
        echo "ptx check: tool error: no rows in $table"
        return 2
    fi
    if [ "$bad" -gt 0 ]; then
        echo "ptx check: the classifier disagrees with $bad of $row rows"
        return 1
    fi
    echo "ptx check: classifier agrees with all $row rows of $table"
    return 0
}

check() {
    if [ -n "$table" ]; then
        check_table
        return
    fi
    if [ -z "$nvcc" ] || ! command -v "$nvcc" >/dev/null 2>&1; then
        echo "ptx check: tool error: nvcc '$nvcc' not found"
        return 2
    fi
    if [ -z "$out" ] || [ ${#sources[@]} -eq 0 ]; then
        echo "ptx check: tool error: usage: ptx_check.sh [--expect N] --nvcc NVCC --out DIR [flags...] -- file.cu..."
        return 2
    fi
    mkdir -p "$out" || return 2
    local demangle=cat
    command -v c++filt >/dev/null 2>&1 && demangle=c++filt
    local findings=0 instructions=0 src ptx result n i
    for src in "${sources[@]}"; do
        ptx=$out/$(basename "$(dirname "$src")")_$(basename "$src" .cu).ptx
        if ! "$nvcc" -ptx "${flags[@]}" "$src" -o "$ptx" 2>"$ptx.log"; then
            cat "$ptx.log"
            echo "ptx check: tool error: nvcc failed on $src"
            return 2
        fi
        result=$(scan "$src" "$ptx") || { echo "ptx check: tool error: awk failed on $ptx"; return 2; }
        read -r n i <<<"$(head -n1 <<<"$result")"
        instructions=$((instructions + n))
        findings=$((findings + i))
        if [ "$i" -gt 0 ]; then
            tail -n +2 <<<"$result" | $demangle
        fi
        echo "ptx check: $src: $n instructions, $i findings"
    done
    if [ "$instructions" -eq 0 ]; then
        echo "ptx check: tool error: no PTX instruction seen in ${#sources[@]} files"
        return 2
    fi
    if [ "$findings" -gt 0 ]; then
        echo "ptx check: $findings fused, fusable or approximate floating-point instructions"
        return 1
    fi
    echo "ptx check: clean (${#sources[@]} files, $instructions instructions)"
    return 0
}

source "$(dirname "${BASH_SOURCE[0]}")/exit_as.sh"
check
exit_as "ptx check" $? "$expect"

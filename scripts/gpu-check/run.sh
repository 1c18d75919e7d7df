#!/usr/bin/env bash
# The GPU check of a packaged cuda build (made by scripts/gpu-check.sh), runnable from any
# folder on a machine with an NVIDIA driver:
#
#   run.sh [--report FILE] [--budget SECONDS] [--jobs N]
#
#   1. the package: every file present, every library resolves, none is a window-system
#      library or the shared CUDA runtime;
#   2. the device: name, driver and runtime versions;
#   3. every test executable (what ctest -L unit runs, the build checks aside); a GPU
#      test skipped for want of a device is a failure when a device answers;
#   4. the benchmark, alone on the machine;
#   5. compute-sanitizer, if present: memcheck on every test executable holding kernels,
#      racecheck and synccheck on those whose kernels wait at barriers.
#
# Writes one Markdown report (default: report.md beside this script) and keeps every log
# in <report>-logs/. Without a device it checks what it can (1, and the tests, whose GPU
# cases then skip), writes the report and stops with "no CUDA device" and status 3.
# Status: 0 all passed; 1 something failed or did not finish in the budget (also without
# a device, when the package itself is broken); 3 no device, all else fine.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
report=$here/report.md
budget=450        # seconds for the whole run: 7.5 minutes
jobs=$(nproc)
[ "$jobs" -gt 8 ] && jobs=8
extra=""          # a Markdown fragment placed before the tests (gpu-check.sh's build checks)
failures_given=() # failures found before this run (gpu-check.sh's build checks)
while [ $# -gt 0 ]; do
    case "$1" in
        --report) report=$2; shift 2 ;;
        --budget) budget=$2; shift 2 ;;
        --jobs) jobs=$2; shift 2 ;;
        --extra) extra=$2; shift 2 ;;
        --fail) failures_given+=("$2"); shift 2 ;;
        -h|--help) sed -n '2,21p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
case "$report" in /*) ;; *) report=$PWD/$report ;; esac

# Test executables whose kernels use __syncthreads(): racecheck and synccheck look at these.
barrier_tests=(gravsim_kernels_test oilbrush_kernel_tests gpu_runtime_test)

logs=${report%.md}-logs
if [ -e "$logs" ]; then
    # Only an earlier run's logs are replaced.
    [ -f "$logs/.gpu-check-logs" ] || { echo "run.sh: $logs exists and is not a log folder of this script" >&2; exit 2; }
    rm -rf "$logs"
fi
mkdir -p "$logs" "$(dirname "$report")" || { echo "run.sh: cannot write $logs" >&2; exit 2; }
: >"$logs/.gpu-check-logs"
start=$(date +%s)
failures=("${failures_given[@]}")   # one line per reason the run fails

say() { echo "gpu-check: $*" >&2; }
fail() { failures+=("$*"); say "FAIL: $*"; }
left() { echo $((budget - ($(date +%s) - start))); }

# ---- 1. the package ---------------------------------------------------------------------
tests=()
if [ -r "$here/tests.txt" ]; then
    while read -r t; do [ -n "$t" ] && tests+=("$t"); done <"$here/tests.txt"
fi
[ ${#tests[@]} -gt 0 ] || fail "tests.txt missing or empty"
missing=()
for f in "${tests[@]}" gpudemos_bench gpudemos_device_query; do
    [ -x "$here/bin/$f" ] || missing+=("$f")
done
missing_text=""
if [ ${#missing[@]} -gt 0 ]; then
    missing_text="missing: ${missing[*]}"
    fail "missing from bin/: ${missing[*]}"
fi

# The package's libraries come first for the package's executables (and the sanitizer
# that runs them). lib/fallback holds the build machine's libstdc++ and libgcc_s: taken
# only where the machine's own are too old for the executables, since they need the build
# machine's glibc too.
unresolved_with() {
    local f out
    unresolved=()
    for f in "$here"/bin/*; do
        [ -x "$f" ] || continue
        out=$(LD_LIBRARY_PATH=$1 ldd "$f" 2>&1)
        if grep -q "not found" <<<"$out"; then
            unresolved+=("$(basename "$f"): $(grep "not found" <<<"$out" | tr -s ' \t' ' ' | paste -sd';' -)")
        fi
    done
}
libpath=$here/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
libs_used="lib/"
unresolved_with "$libpath"
if [ ${#unresolved[@]} -gt 0 ] && [ -d "$here/lib/fallback" ]; then
    fallback=$here/lib:$here/lib/fallback${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
    first=("${unresolved[@]}")
    unresolved_with "$fallback"
    if [ ${#unresolved[@]} -eq 0 ]; then
        libpath=$fallback
        libs_used="lib/ and lib/fallback/ (the machine's own were not enough: ${first[0]})"
    else
        unresolved=("${first[@]}")
    fi
fi
# in_package <command...>: runs a package executable with the package's libraries.
in_package() { LD_LIBRARY_PATH=$libpath "$@"; }
unresolved_text=""
if [ ${#unresolved[@]} -gt 0 ]; then
    unresolved_text="NOT RESOLVED: ${unresolved[*]}"
    fail "libraries that do not resolve: ${unresolved[*]}"
fi

window_status="not checked"
if ! command -v readelf >/dev/null 2>&1 && ! command -v objdump >/dev/null 2>&1; then
    window_status="not checked here: no readelf or objdump (the build checked it)"
elif [ -r "$here/needed_check.sh" ]; then
    bash "$here/needed_check.sh" "$here"/bin/* >"$logs/needed.log" 2>&1
    case $? in
        0) window_status="none" ;;
        1) window_status="FOUND"; fail "window-system or shared CUDA runtime libraries: $(grep needs "$logs/needed.log" | sed 's/.*bin\///' | paste -sd';' -)" ;;
        *) window_status="check failed"; fail "$(tail -n1 "$logs/needed.log")" ;;
    esac
fi

# ---- 2. the device ----------------------------------------------------------------------
device_info=$(in_package "$here/bin/gpudemos_device_query" 2>&1)
query_status=$?
has_device=0
[ "$query_status" -eq 0 ] && has_device=1
if [ "$query_status" -ne 0 ] && [ "$query_status" -ne 3 ]; then
    fail "device query ended with status $query_status"
fi
smi=""
if command -v nvidia-smi >/dev/null 2>&1; then
    smi=$(nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader 2>/dev/null)
fi
device_name=$(sed -n 's/^device 0: \([^,]*\),.*/\1/p' <<<"$device_info")
say "$(tr '\n' ';' <<<"$device_info")"

# ---- 3. tests ---------------------------------------------------------------------------
# run_test <name>: runs one executable with a time limit; its log is logs/<name>.log.
run_test() {
    local t=$1 limit
    limit=$(left)
    [ "$limit" -gt 300 ] && limit=300
    if [ "$limit" -le 0 ]; then
        echo "not run: time budget spent" >"$logs/$t.log"
        echo 125 >"$logs/$t.status"
        return
    fi
    # Each run in a folder of its own: tests may write files into the current one.
    mkdir -p "$logs/work/$t"
    (cd "$logs/work/$t" && timeout -k 10 "$limit" env LD_LIBRARY_PATH="$libpath" "$here/bin/$t" --gtest_color=no >"$logs/$t.log" 2>&1)
    echo $? >"$logs/$t.status"
}

# Runs "<function> <arg>" for each arg, at most $jobs at a time.
pool() {
    local fn=$1 running=0
    shift
    for a in "$@"; do
        "$fn" "$a" &
        running=$((running + 1))
        if [ "$running" -ge "$jobs" ]; then
            wait -n
            running=$((running - 1))
        fi
    done
    wait
}

say "running ${#tests[@]} test executables, $jobs at a time"
present_tests=()
for t in "${tests[@]}"; do [ -x "$here/bin/$t" ] && present_tests+=("$t"); done
pool run_test "${present_tests[@]}"

total_run=0 total_passed=0 total_failed=0 total_skipped=0
test_rows=""
skip_rows=""
device_skips=0
for t in "${present_tests[@]}"; do
    log=$logs/$t.log
    status=$(cat "$logs/$t.status")
    # One result line per test: "[       OK ] Suite.Name (3 ms)" and the like.
    passed=$(grep -cE '^\[ +OK \] .* \([0-9]+ ms\)$' "$log")
    failed=$(grep -cE '^\[  FAILED  \] .* \([0-9]+ ms\)$' "$log")
    skipped=$(grep -cE '^\[  SKIPPED \] .* \([0-9]+ ms\)$' "$log")
    ran=$((passed + failed + skipped))
    total_run=$((total_run + ran)); total_passed=$((total_passed + passed))
    total_failed=$((total_failed + failed)); total_skipped=$((total_skipped + skipped))
    note=""
    if [ "$status" -eq 125 ]; then
        note="not run: time budget spent"; fail "$t: not run, time budget spent"
    elif [ "$status" -eq 124 ]; then
        note="timed out"; fail "$t: timed out"
    elif [ "$status" -ne 0 ]; then
        note="exit status $status"; fail "$t: exit status $status, $failed tests failed"
    elif [ "$ran" -eq 0 ]; then
        note="no test ran"; fail "$t: no test ran"
    fi
    test_rows+="| $t | $ran | $passed | $failed | $skipped | $note |"$'\n'
    # The message of each skip: the lines between "...: Skipped" and "[  SKIPPED ]".
    while IFS=$'\t' read -r name msg; do
        [ -n "$name" ] || continue
        skip_rows+="| $t | $name | $msg |"$'\n'
        if [[ $msg == *"no CUDA device"* ]] && [ "$has_device" -eq 1 ]; then
            device_skips=$((device_skips + 1))
            fail "$t: $name skipped although a device answers: $msg"
        fi
    done < <(awk '
        /: Skipped$/ { grab = 1; msg = ""; next }
        /^\[  SKIPPED \] .* \([0-9]+ ms\)$/ {
            name = $4
            print name "\t" msg
            grab = 0; msg = ""; next
        }
        /^\[/ { grab = 0 }
        grab && NF { msg = msg (msg == "" ? "" : " ") $0 }' "$log")
done
say "tests: $total_run run, $total_passed passed, $total_failed failed, $total_skipped skipped"

# ---- 4 and 5 need a device ---------------------------------------------------------------
bench_status="not run"
bench_table=""
san_rows=""
sanitizer=""
sanitizer_version=""
if [ "$has_device" -eq 1 ]; then
    limit=$(left); [ "$limit" -gt 240 ] && limit=240
    if [ "$limit" -gt 10 ]; then
        say "running the benchmark (limit ${limit}s)"
        bench_start=$(date +%s)
        mkdir -p "$logs/work/bench"
        (cd "$logs/work/bench" && timeout -k 10 "$limit" env LD_LIBRARY_PATH="$libpath" "$here/bin/gpudemos_bench" >"$logs/bench.md" 2>"$logs/bench.log")
        rc=$?
        bench_secs=$(($(date +%s) - bench_start))
        bench_table=$(cat "$logs/bench.md")
        case $rc in
            0) bench_status="ran in ${bench_secs} s" ;;
            124) bench_status="timed out after ${limit} s"; fail "benchmark timed out" ;;
            *) bench_status="exit status $rc"; fail "benchmark: exit status $rc" ;;
        esac
    else
        fail "benchmark not run: time budget spent"
    fi

    for c in compute-sanitizer /usr/local/cuda/bin/compute-sanitizer "${CUDA_HOME:-/usr/local/cuda}/compute-sanitizer/compute-sanitizer"; do
        if command -v "$c" >/dev/null 2>&1; then sanitizer=$(command -v "$c"); break; fi
    done
    if [ -n "$sanitizer" ]; then
        sanitizer_version=$("$sanitizer" --version 2>/dev/null | grep -iE "version" | head -n1)
        # Executables holding device code; the others launch nothing.
        kernel_tests=()
        for t in "${present_tests[@]}"; do
            if readelf -S "$here/bin/$t" 2>/dev/null | grep -q nv_fatbin || ! command -v readelf >/dev/null; then
                kernel_tests+=("$t")
            fi
        done
        jobs_list=()
        for t in "${barrier_tests[@]}"; do
            if [ -x "$here/bin/$t" ]; then
                jobs_list+=("racecheck:$t" "synccheck:$t")
            else
                fail "barrier test $t not in the package"
            fi
        done
        for t in "${kernel_tests[@]}"; do jobs_list+=("memcheck:$t"); done

        # run_sanitizer <tool>:<test>: log and status in logs/<tool>.<test>.*
        run_sanitizer() {
            local tool=${1%%:*} t=${1#*:} limit extra_args=()
            limit=$(left)
            [ "$limit" -gt 240 ] && limit=240
            if [ "$limit" -le 5 ]; then
                echo 125 >"$logs/$tool.$t.status"
                return
            fi
            case $tool in
                # API errors are what several tests provoke on purpose; memcheck looks at
                # the kernels' memory accesses.
                memcheck) extra_args=(--report-api-errors no) ;;
            esac
            mkdir -p "$logs/work/$tool.$t"
            (cd "$logs/work/$tool.$t" && timeout -k 10 "$limit" env LD_LIBRARY_PATH="$libpath" "$sanitizer" --tool "$tool" \
                "${extra_args[@]}" --print-limit 20 "$here/bin/$t" --gtest_color=no >"$logs/$tool.$t.log" 2>&1)
            echo $? >"$logs/$tool.$t.status"
        }
        say "compute-sanitizer: ${#jobs_list[@]} runs, $jobs at a time"
        pool run_sanitizer "${jobs_list[@]}"

        for j in "${jobs_list[@]}"; do
            tool=${j%%:*}; t=${j#*:}
            log=$logs/$tool.$t.log
            status=$(cat "$logs/$tool.$t.status" 2>/dev/null || echo 125)
            errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) error.*/\1/p' "$log" 2>/dev/null | tail -n1)
            race=$(sed -n 's/.*RACECHECK SUMMARY: \([0-9]*\) hazard.*(\([0-9]*\) error.*, \([0-9]*\) warning.*/\1 \2 \3/p' "$log" 2>/dev/null | tail -n1)
            findings=""
            if [ -n "$race" ]; then
                read -r _ rerr rwarn <<<"$race"
                findings="$rerr errors, $rwarn warnings"
                errors=$rerr
            elif [ -n "$errors" ]; then
                findings="$errors errors"
            fi
            note=""
            if [ "$status" -eq 125 ]; then
                note="not run: time budget spent"; fail "$tool $t: not run, time budget spent"
            elif [ "$status" -eq 124 ]; then
                note="timed out"; fail "$tool $t: timed out"
            elif [ -z "$findings" ]; then
                note="no summary, exit status $status"; fail "$tool $t: no summary (exit status $status)"
            elif [ "${errors:-0}" -gt 0 ]; then
                note="see $tool.$t.log"; fail "$tool $t: $findings"
            elif [ "$status" -ne 0 ]; then
                note="test failures under the sanitizer (exit status $status)"; fail "$tool $t: exit status $status"
            fi
            san_rows+="| $tool | $t | ${findings:-?} | $note |"$'\n'
        done
    else
        say "compute-sanitizer not found: sanitizer runs skipped"
    fi
fi

# ---- the report --------------------------------------------------------------------------
elapsed=$(($(date +%s) - start))
if [ "$has_device" -eq 0 ]; then
    verdict="NO CUDA DEVICE: package checks and host-side tests only"
elif [ ${#failures[@]} -eq 0 ]; then
    verdict="PASSED"
else
    verdict="FAILED"
fi
{
    echo "# GPU check: ${device_name:-no CUDA device}"
    echo
    echo "Verdict: **$verdict** (${elapsed} s of a ${budget} s budget)"
    echo
    echo "| | |"
    echo "|---|---|"
    echo "| date | $(date -u '+%Y-%m-%d %H:%M UTC') |"
    echo "| machine | $(hostname), $(nproc) CPU threads, $(uname -sr) |"
    while IFS= read -r line; do
        [ -n "$line" ] && echo "| ${line%%:*} | ${line#*: } |"
    done <<<"$device_info"
    [ -n "$smi" ] && echo "| nvidia-smi | $smi |"
    if [ -r "$here/package.txt" ]; then
        while IFS= read -r line; do
            [ -n "$line" ] && echo "| ${line%%:*} | ${line#*: } |"
        done <"$here/package.txt"
    fi
    echo "| files | ${#tests[@]} test executables, benchmark, device query: ${missing_text:-all present} |"
    echo "| libraries | ${unresolved_text:-all resolve} (package libraries used: $libs_used) |"
    echo "| window-system libraries | $window_status |"
    echo "| compute-sanitizer | ${sanitizer:-not found}${sanitizer_version:+ ($sanitizer_version)} |"
    echo
    if [ ${#failures[@]} -gt 0 ]; then
        echo "## Failures"
        echo
        for f in "${failures[@]}"; do echo "- $f"; done
        echo
    fi
    if [ -n "$extra" ] && [ -r "$extra" ]; then
        cat "$extra"
        echo
    fi
    echo "## Tests"
    echo
    echo "$total_run tests run: $total_passed passed, $total_failed failed, $total_skipped skipped."
    echo
    echo "| executable | run | passed | failed | skipped | note |"
    echo "|---|---:|---:|---:|---:|---|"
    printf '%s' "$test_rows"
    if [ -n "$skip_rows" ]; then
        echo
        echo "Skipped tests:"
        echo
        echo "| executable | test | message |"
        echo "|---|---|---|"
        printf '%s' "$skip_rows"
    fi
    if [ -r "$here/excluded.txt" ]; then
        echo
        echo "Not in this package:"
        echo
        sed 's/^/- /' "$here/excluded.txt"
    fi
    echo
    echo "## compute-sanitizer"
    echo
    if [ "$has_device" -eq 0 ]; then
        echo "Not run: no CUDA device."
    elif [ -z "$sanitizer" ]; then
        echo "Not run: compute-sanitizer not found (PATH, /usr/local/cuda/bin)."
    else
        echo "memcheck (--report-api-errors no) on every test executable holding"
        echo "kernels; racecheck and synccheck on ${barrier_tests[*]}."
        echo
        echo "| tool | executable | findings | note |"
        echo "|---|---|---|---|"
        printf '%s' "$san_rows"
    fi
    echo
    echo "## Benchmark"
    echo
    echo "gpudemos_bench: $bench_status. Each row's napkin math names the bytes copied and the"
    echo "work done, and \"of bound\" how near the row runs to the time they allow."
    echo
    if [ -n "$bench_table" ]; then
        echo "$bench_table"
    else
        echo "Not run."
    fi
    echo
    echo "Logs: $logs"
} >"$report"
say "report: $report"

if [ ${#failures[@]} -gt 0 ]; then
    say "FAILED: ${#failures[@]} problems, see $report"
fi
if [ "$has_device" -eq 0 ]; then
    why=$(sed -n 's/^no CUDA device: //p' <<<"$device_info")
    say "package checks and host-side tests done: $total_passed passed, $total_failed failed, $total_skipped skipped"
    echo "no CUDA device (${why:-the device query did not run}): GPU tests, compute-sanitizer and benchmark not run" >&2
    [ ${#failures[@]} -gt 0 ] && exit 1
    exit 3
fi
[ ${#failures[@]} -gt 0 ] && exit 1
say "PASSED in ${elapsed} s"
exit 0

#!/usr/bin/env bash
# The routes by which a learner builds CUDA code of their own for the cpu backend, one per
# call (tests/toolkit/CMakeLists.txt has the table):
#
#   routes.sh <route> <toolkit folder> <source root> <build folder> <work folder>
#
# Each route builds the fixtures (tests/toolkit/fixtures) in a fresh work folder as a
# learner would, runs what it built and checks what it printed; the last line says
# "route <name>: PASS", else the script fails saying what went wrong.
set -euo pipefail
route=$1 toolkit=$2 src=$3 build=$4 work=$5
nvcc=$toolkit/bin/nvcc
rm -rf "$work"
mkdir -p "$work"
cp -r "$src/tests/toolkit/fixtures/." "$work/"
cd "$work"

fail() { echo "route $route: FAIL: $*"; exit 1; }
# Runs a command that must succeed and print a line matching the pattern.
prints() {
    local pattern=$1 out
    shift
    out=$("$@" 2>&1) || fail "$* exited $?: $out"
    grep -Eq "$pattern" <<<"$out" || fail "$* printed no '$pattern': $out"
}
# Runs a command that must fail and say what the pattern says.
refuses() {
    local pattern=$1 out
    shift
    if out=$("$@" 2>&1); then fail "$* succeeded: $out"; fi
    grep -Eq "$pattern" <<<"$out" || fail "$* failed without '$pattern': $out"
}

case $route in
nvcc)  # a whole program, as a tutorial builds it
    "$nvcc" -O2 -arch=sm_90 "$src/tests/gpu/fixtures/learner_exercise.cu" -o exercise
    prints "dot product 1146880: PASS" ./exercise
    ;;
introductions)  # the introductions' programs (unified memory, streams, cooperative groups)
    for p in "managed_add:Max error: 0" "stream_pipeline:4 streams: sum 5079040 \(PASS\)" "cg_reduction:sum 4950000: PASS"; do
        "$nvcc" -O2 -arch=sm_90 "$src/tests/gpu/fixtures/${p%%:*}.cu" -o "${p%%:*}"
        prints "${p#*:}" "./${p%%:*}"
    done
    ;;
separate)  # a .cu and a .cpp compiled apart, linked by nvcc and by g++ with -lcudart
    "$nvcc" -c -gencode arch=compute_90,code=sm_90 -Iinclude scale.cu -o scale.o
    g++ -c -Iinclude -I"$toolkit/include" main.cpp -o main.o
    "$nvcc" main.o scale.o -o by_nvcc
    prints "scale from C\+\+: PASS" ./by_nvcc
    g++ main.o scale.o -L"$toolkit/lib64" -lcudart -o by_gxx
    prints "scale from C\+\+: PASS" env LD_LIBRARY_PATH="$toolkit/lib64" ./by_gxx
    ;;
make)  # a Makefile with CUDA_DIR, a C main, the link done by gcc
    make -s CUDA_DIR="$toolkit"
    prints "scale from C: PASS" env LD_LIBRARY_PATH="$toolkit/lib64" ./app
    ;;
cmake)  # find_package(CUDAToolkit) with CUDAToolkit_ROOT, CUDA::cudart
    prints "CUDA toolkit 13\.0\.0 at $toolkit/bin" cmake -S . -B b -DROUTE=toolkit -DCUDAToolkit_ROOT="$toolkit"
    cmake --build b >/dev/null
    prints "scale from C\+\+: PASS" b/app
    ;;
subdirectory)  # a project that adds this one and calls gpu_sources() from its own folder
    cmake -S . -B b -DROUTE=subdirectory -DGPUDEMOS_DIR="$src" >/dev/null
    cmake --build b --target app -j2 >/dev/null || fail "the outside project does not build"
    prints "scale from C\+\+: PASS" b/app
    ;;
installed)  # cmake --install, then the folder moved: nothing in it names where it was made
    cmake --install "$build" --prefix "$work/first" >/dev/null
    mv "$work/first" "$work/moved"
    moved=$work/moved
    for f in "$moved"/bin/* "$moved"/lib64/*.so*; do
        # (the kernel parser's one names where Debian keeps clang's libraries)
        if readelf -d "$f" 2>/dev/null | grep -E "RPATH|RUNPATH" | grep -Fq -e "$build" -e "$src"; then
            fail "$f has a run path into the build or source tree"
        fi
    done
    if grep -rlI -e "$build" -e "$src" "$moved"; then fail "the files above name the build or source tree"; fi
    "$moved/bin/nvcc" -O2 "$src/tests/gpu/fixtures/learner_exercise.cu" -o exercise
    prints "dot product 1146880: PASS" ./exercise
    make -s CUDA_DIR="$moved"
    prints "scale from C: PASS" env LD_LIBRARY_PATH="$moved/lib64" ./app
    ;;
flags)  # what the driver says and writes
    refuses "nvcc: error: unknown option '-frobnicate'" "$nvcc" -frobnicate scale.cu
    refuses "nvcc: error: unknown GPU architecture 'sm_x' in -arch" "$nvcc" -arch=sm_x scale.cu
    refuses "nvcc: error: no such file: missing.cu" "$nvcc" missing.cu
    refuses "nvcc: error: host compiler '/no/g\+\+' not found" "$nvcc" -ccbin /no/g++ scale.cu
    refuses "^mistakes\.cu:8:[0-9]+: error: .undeclaredValue" "$nvcc" -DCOMPILE_ERROR -c mistakes.cu
    prints "Cuda compilation tools, release 13\.0, V13\.0\.0" "$nvcc" --version
    prints "cpu backend" "$nvcc" --version
    "$nvcc" -MD -MT scale.o -I include -c scale.cu -o scale.o
    grep -q "^scale\.o: scale\.cu" scale.d || fail "scale.d does not name scale.cu: $(head -c 200 scale.d)"
    grep -q "scale\.h" scale.d || fail "scale.d does not name scale.h"
    prints "^main\.o: main\.cpp" timeout 60 "$nvcc" -M -Iinclude main.cpp
    if [ -x "$(dirname "$nvcc")/gpu_split_blocks" ]; then  # the kernel parser, where built
        prints "neighbourSum: loops split at 1 barrier" "$nvcc" -v -c mistakes.cu -o mistakes.o
    fi
    ;;
tsan)  # the race report and its clean twin
    "$nvcc" -fsanitize=thread -DRACE mistakes.cu -o race
    refuses "WARNING: ThreadSanitizer: data race" ./race
    refuses "#0 neighbourSum\(int\*\) .*mistakes\.cu:(10|14)" ./race
    "$nvcc" -fsanitize=thread mistakes.cu -o clean
    out=$(./clean 2>&1)
    if grep -q ThreadSanitizer <<<"$out"; then fail "the clean twin is reported: $out"; fi
    ;;
asan)  # a write just past an allocation
    "$nvcc" -fsanitize=address -DOVERFLOW mistakes.cu -o overflow
    refuses "AddressSanitizer: use-after-poison" ./overflow  # the bytes past the size asked for
    refuses "#0 .* in writePastEnd\(int\*, int\) .*mistakes\.cu:17" ./overflow
    ;;
*)
    fail "no such route"
    ;;
esac
echo "route $route: PASS"

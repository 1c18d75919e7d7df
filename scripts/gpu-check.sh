#!/usr/bin/env bash
# The cuda build checked on a GPU machine, in one command.
#
#   scripts/gpu-check.sh [--out OUT] [--arch N] [--jobs N] [--budget SECONDS]
#       On a GPU machine with the CUDA toolkit and the project's build packages (GoogleTest,
#       libpng, zlib, freeglut, GLEW, X11 headers): builds the cuda preset for it
#       (build/cuda), runs the build checks (PTX, libraries), then the runner of
#       scripts/gpu-check/ on that build: every test executable, compute-sanitizer, the
#       benchmark. Writes OUT/report.md and OUT/logs.tar.gz (default OUT:
#       build/cuda/gpu-check/out).
#
#   scripts/gpu-check.sh --package DIR [--arch 90] [--jobs N]
#       On a build machine (no device needed): builds the tests and the benchmark
#       (build/cuda-sm<arch>) and writes DIR, a folder that runs anywhere with an NVIDIA
#       driver and Python 3.8+. Copy it to the GPU machine and start DIR/run.sh --out OUT
#       there (DIR/run.sh --help).
#
# Both modes package the build and run the same DIR/run.sh; the checks live there.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export PATH="$PATH:/usr/local/cuda/bin"

package_dir=""
arch=""
out=""
budget=""
jobs=$(nproc)
while [ $# -gt 0 ]; do
    case "$1" in
        --package) package_dir=$2; shift 2 ;;
        --arch) arch=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        --budget) budget=$2; shift 2 ;;
        --jobs|-j) jobs=$2; shift 2 ;;
        -j*) jobs=${1#-j}; shift ;;
        -h|--help) sed -n '2,18p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "gpu-check: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
done

say() { echo "gpu-check: $*" >&2; }
die() { say "$*"; exit 2; }
max_package_mib=50

# Tests that read data from the source tree by absolute path: they run in a build on this
# machine, not from a package copied elsewhere.
source_tree_tests=(png_corpus_tests)

# make_package <build dir> <DIR> <copied elsewhere: 0|1>
make_package() {
    local build=$1 dest=$2 elsewhere=$3 manifest kind path name lib so
    manifest=$build/gpu-check/manifest.txt
    [ -r "$manifest" ] || die "$manifest missing: configure $build first"
    if [ -e "$dest" ]; then
        # Replace only an earlier package (or an empty folder), never anything else.
        if [ -f "$dest/package.txt" ] || [ -z "$(ls -A "$dest" 2>/dev/null)" ]; then
            rm -rf "$dest"
        else
            die "$dest exists and is not a package: choose another folder"
        fi
    fi
    mkdir -p "$dest/bin" "$dest/lib/fallback"
    : >"$dest/tests.txt"
    while read -r kind path flags; do
        name=$(basename "$path")
        [ -x "$path" ] || die "$path not built"
        if [ "$kind" = test ] && [ "$elsewhere" = 1 ] && [[ " ${source_tree_tests[*]} " == *" $name "* ]]; then
            echo "$name: reads its data from the source tree; runs in scripts/gpu-check.sh's own build" >>"$dest/excluded.txt"
            continue
        fi
        # Host symbol tables stripped: a quarter of the size, which keeps the folder well
        # under its limit; kernels keep their names in the device code.
        cp -p "$path" "$dest/bin/"
        strip --strip-unneeded "$dest/bin/$name"
        if [ "$kind" = test ]; then
            # "name [kernels] [barriers]": which sanitizer tools the runner gives it.
            kernels=$(python3 "$root/scripts/gpu-check/elf.py" --kernels "$dest/bin/$name") ||
                die "cannot read the sections of $dest/bin/$name"
            echo "$name${kernels:+ kernels}${flags:+ $flags}" >>"$dest/tests.txt"
        fi
    done <"$manifest"
    cp "$root"/scripts/gpu-check/run.sh "$root"/scripts/gpu-check/*.py "$dest/"
    chmod +x "$dest/run.sh"

    # Every shared library but glibc's own, so a machine without the project's packages
    # (libpng, zlib) runs the package. The compiler's runtime (libstdc++, libgcc_s) goes to
    # lib/fallback: it needs this machine's glibc, so run.sh takes it only where the GPU
    # machine's own is too old.
    for f in "$dest"/bin/*; do
        ldd "$f" | awk '$2 == "=>" && $3 ~ /^\// { print $1, $3 }'
    done | sort -u | while read -r so lib; do
        case "$so" in
            libc.so.*|libm.so.*|libdl.so.*|librt.so.*|libpthread.so.*|ld-linux*|libresolv.so.*|libutil.so.*) ;;
            libstdc++.so.*|libgcc_s.so.*) cp -L "$lib" "$dest/lib/fallback/$so" ;;
            *) cp -L "$lib" "$dest/lib/$so" ;;
        esac
    done

    local glibc glibc_fallback size_kib
    glibc=$(objdump -T "$dest"/bin/* "$dest"/lib/*.so* 2>/dev/null | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -n1)
    glibc_fallback=$(objdump -T "$dest"/lib/fallback/* 2>/dev/null | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -n1)
    size_kib=$(du -sk "$dest" | cut -f1)
    {
        echo "package: built $(date -u '+%Y-%m-%d %H:%M UTC') on $(hostname)"
        echo "source: $(git -C "$root" describe --always --dirty 2>/dev/null || echo unknown)"
        echo "CUDA architectures: $(sed -n 's/^CMAKE_CUDA_ARCHITECTURES:[A-Z]*=//p' "$build/CMakeCache.txt")"
        echo "nvcc: $("$(sed -n 's/^CMAKE_CUDA_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")" --version | grep -o 'release [0-9.]*, V[0-9.]*')"
        echo "needs: glibc ${glibc#GLIBC_} or newer; an NVIDIA driver that supports this CUDA release (the runtime is linked in)"
        echo "bundled libraries: $(find "$dest/lib" -maxdepth 1 -type f -printf '%f\n' | sort | paste -sd' ' -); fallback, for glibc ${glibc_fallback#GLIBC_} or newer: $(ls "$dest/lib/fallback" | paste -sd' ' -)"
    } >"$dest/package.txt"
    [ "$size_kib" -le $((max_package_mib * 1024)) ] ||
        die "$dest is $((size_kib / 1024)) MiB, more than $max_package_mib MiB"
    say "package $dest: $(wc -l <"$dest/tests.txt") test executables ($(grep -c ' kernels' "$dest/tests.txt") with device code), $(find "$dest/lib" -type f | wc -l) libraries, $((size_kib / 1024)) MiB"
}

# The executables the package needs, as build targets (their file names).
package_targets() {
    awk '{ n = split($2, p, "/"); print p[n] }' "$1/gpu-check/manifest.txt"
}

command -v nvcc >/dev/null || die "nvcc not found on PATH or in /usr/local/cuda/bin"
command -v python3 >/dev/null || die "python3 (3.8 or newer) not found: the runner is a Python program"
cd "$root"

# configure <build dir> <cmake args...>: the log beside the build folder, made first.
configure() {
    local build=$1
    shift
    mkdir -p "$root/$build"
    cmake --preset cuda -B "$build" "$@" >"$root/$build/configure.log" 2>&1 ||
        { cat "$root/$build/configure.log"; die "configure failed (log: $build/configure.log)"; }
}

if [ -n "$package_dir" ]; then
    case "$package_dir" in /*) ;; *) package_dir=$PWD/$package_dir ;; esac
    arch=${arch:-90}
    build=build/cuda-sm$arch
    say "building tests and benchmark for sm_$arch in $build"
    configure "$build" -DCMAKE_CUDA_ARCHITECTURES="$arch" -DGPUDEMOS_PTX_CHECK_ARCH="$arch"
    # shellcheck disable=SC2046
    cmake --build "$build" -j"$jobs" --target $(package_targets "$build")
    make_package "$build" "$package_dir" 1
    say "copy $package_dir to the GPU machine and run $(basename "$package_dir")/run.sh --out OUT there"
    exit 0
fi

# Read whole, then searched: grep -q quitting early must not fail the listing under pipefail.
gpus=$(timeout 20 nvidia-smi -L 2>/dev/null || true)
if ! grep -q '^GPU' <<<"$gpus"; then
    die "no CUDA device answers (nvidia-smi -L): run this on a GPU machine, or build a package for one with --package DIR"
fi
# The whole project configures here (viewers included): name what is missing up front.
missing=()
cpath=${CPATH:-}
for h in gtest/gtest.h png.h zlib.h GL/freeglut.h GL/glew.h X11/Xlib.h GL/glu.h; do
    found=0
    for d in /usr/include /usr/local/include ${cpath//:/ }; do
        [ -e "$d/$h" ] && { found=1; break; }
    done
    [ "$found" = 1 ] || missing+=("$h")
done
if [ ${#missing[@]} -gt 0 ]; then
    die "this machine lacks the project's build packages (headers not found: ${missing[*]}; on Debian: libgtest-dev libpng-dev zlib1g-dev freeglut3-dev libglew-dev libglu1-mesa-dev libx11-dev). Without them, build a package on a machine that has them: scripts/gpu-check.sh --package DIR --arch N, copy DIR here and run DIR/run.sh --out OUT"
fi
build=build/cuda
arch_args=()
[ -n "$arch" ] && arch_args=(-DCMAKE_CUDA_ARCHITECTURES="$arch" -DGPUDEMOS_PTX_CHECK_ARCH="$arch")
say "building the cuda preset in $build"
configure "$build" "${arch_args[@]}"
cmake --build --preset cuda -j"$jobs"

# The build checks (PTX, libraries) run here, where the sources and nvcc are.
mkdir -p "$build/gpu-check"
checks=$build/gpu-check/build-checks.md
set +e
ctest --test-dir "$build" -L build -j"$jobs" --output-on-failure >"$build/gpu-check/build-checks.log" 2>&1
checks_status=$?
set -e
{
    echo "## Build checks"
    echo
    echo "ctest -L build: $(grep -E 'tests passed' "$build/gpu-check/build-checks.log" || echo 'no summary')"
    echo
    grep -E '^ *[0-9]+/[0-9]+ Test' "$build/gpu-check/build-checks.log" | sed 's/^ */- /'
} >"$checks"

make_package "$build" "$build/gpu-check/package" 0
out=${out:-$PWD/$build/gpu-check/out}
run_args=(--extra "$PWD/$checks" --jobs "$((jobs < 8 ? jobs : 8))" --out "$out" ${budget:+--budget "$budget"})
[ "$checks_status" -eq 0 ] || run_args+=(--fail "build checks failed: $build/gpu-check/build-checks.log")
exec "$build/gpu-check/package/run.sh" "${run_args[@]}"

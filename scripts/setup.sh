#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
# Runs as root, or through sudo. The CUDA toolkit is optional and not installed here.
set -euo pipefail

packages=(cmake g++ make pkg-config freeglut3-dev libglew-dev libglu1-mesa-dev libx11-dev zlib1g-dev
          libgtest-dev libgmock-dev libbenchmark-dev libboost-context-dev
          xvfb xdotool x11-utils imagemagick libpng-dev)
# The font scripts/screenshots.sh draws the window titles with.
packages+=(fonts-dejavu-core)
# The fuzz target and the sanitizer build.
packages+=(clang libclang-rt-14-dev)
# The kernel parser that lets blocks with barriers run as loops split at them.
packages+=(libclang-dev)
# The benchmark's PoCL peer row and its scaling charts (scripts/bench.sh --plot).
packages+=(pocl-opencl-icd ocl-icd-opencl-dev opencl-headers gnuplot-nox)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all packages present"
    exit 0
fi
echo "setup: installing ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Reads the NEEDED entries of executables and fails where one names a window-system
# library (freeglut, GL, GLU, GLX, GLEW, OpenGL, EGL, X11) or the shared CUDA runtime:
# tests and the benchmark must run on a headless GPU machine with only a driver.
#
#   needed_check.sh [--expect N] file...
#
# Status: 0 clean, 1 findings (file and library named), 2 tool error (no readelf or
# objdump, a file missing or not readable as ELF). With --expect N: 0 when the check
# ended with N, else 1.
set -uo pipefail

expect=""
if [ "${1:-}" = "--expect" ]; then
    expect=$2
    shift 2
fi
forbidden='^lib(glut|GL|GLU|GLX|GLEW|OpenGL|EGL|X11|cudart)\.so'

needed() {
    if command -v readelf >/dev/null 2>&1; then
        readelf -d "$1" 2>/dev/null | sed -n 's/.*(NEEDED).*\[\(.*\)\].*/\1/p'
        return "${PIPESTATUS[0]}"
    fi
    objdump -p "$1" 2>/dev/null | awk '$1 == "NEEDED" { print $2 }'
    return "${PIPESTATUS[0]}"
}

check() {
    if ! command -v readelf >/dev/null 2>&1 && ! command -v objdump >/dev/null 2>&1; then
        echo "needed check: tool error: neither readelf nor objdump found"
        return 2
    fi
    if [ $# -eq 0 ]; then
        echo "needed check: tool error: no files given"
        return 2
    fi
    local findings=0 f libs lib
    for f in "$@"; do
        if [ ! -r "$f" ]; then
            echo "needed check: tool error: $f missing"
            return 2
        fi
        if ! libs=$(needed "$f") || [ -z "$libs" ]; then
            echo "needed check: tool error: no dynamic section read from $f"
            return 2
        fi
        for lib in $libs; do
            if [[ $lib =~ $forbidden ]]; then
                echo "needed check: $f needs $lib"
                findings=$((findings + 1))
            fi
        done
    done
    if [ "$findings" -gt 0 ]; then
        echo "needed check: $findings window-system or shared CUDA runtime libraries in $# executables"
        return 1
    fi
    echo "needed check: clean ($# executables)"
    return 0
}

source "$(dirname "${BASH_SOURCE[0]}")/exit_as.sh"
check "$@"
exit_as "needed check" $? "$expect"

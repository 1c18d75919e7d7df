#!/usr/bin/env bash
# oilbrush run for real on files this test writes: the console dialogue byte for byte,
# the exit status, and the output file checked with libpng.
#   oilbrush_e2e.sh <oilbrush> <oilbrush_e2e_check>
set -u
prog="$(realpath "$1")"
check="$(realpath "$2")"
work="$(mktemp -d /tmp/oile2eXXXXXX)"
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect <name> <typed input> <status> <expected stdout after the prompt>
expect() {
    local name="$1" typed="$2" status="$3" want="PNG infile: $4" got rc
    got="$(printf '%s' "$typed" | "$prog" 2>/dev/null; echo "rc=$?")"
    rc="${got##*rc=}"
    got="${got%rc=*}"
    [ "$rc" = "$status" ] || fail "$name: exit status $rc, want $status"
    [ "$got" = "$want" ] || fail "$name: output differs"$'\n'"--- got:"$'\n'"$got"$'\n'"--- want:"$'\n'"$want"
}

# The dialogue of an image read and filtered, up to its save: filtered <name> <width> <height>
filtered() {
    printf 'Reading %s...\n%d x %d pixels\nbuffer size: %d bytes\nprocessing...\nwriting to %s_swapGB.png...' \
        "$1" "$2" "$3" $(($2 * $3 * 4)) "$1"
}

"$check" make photo photo.png || exit 1
"$check" make rgb rgb.png || exit 1
"$check" make damaged damaged.png || exit 1
"$check" make small small.png || exit 1

# A cuda build on a machine without a GPU cannot filter: skip (CTest code 77).
if printf 'photo.png\n' | "$prog" 2>/dev/null | grep -q "Could not process the image on the GPU"; then
    echo "skipped: no CUDA device answers"
    exit 77
fi
rm -f photo.png_swapGB.png

expect success $'photo.png\n' 0 "$(filtered photo.png 320 240)done."$'\n'
"$check" verify photo.png photo.png_swapGB.png || fail "success: output file"

expect missing $'nothere.png\n' 1 $'Image error: Couldn\'t open image\n\n'
expect rgb $'rgb.png\n' 1 $'Reading rgb.png...\nImage error: Only true color alpha images supported\n\n'
expect damaged $'damaged.png\n' 1 $'Reading damaged.png...\nImage error: Could not read image data\n\n'
expect small $'small.png\n' 0 "$(filtered small.png 7 40)done."$'\n'
"$check" verify small.png small.png_swapGB.png || fail "small: output file"

expect empty "" 1 $'Image error: No file name given\n\n'
expect long "$(printf 'x%.0s' $(seq 1 45)).png" 1 $'Image error: File name too long: at most 38 characters\n\n'

# An output that cannot be created (a folder in its place), and one whose bytes are lost
# (a link to the full device): both errors, never "done.".
mkdir out && cp photo.png out/ && mkdir out/photo.png_swapGB.png
expect uncreatable $'out/photo.png\n' 1 \
    "$(filtered out/photo.png 320 240)"$'Image error: Could not open image to save\n\n'
if [ -e /dev/full ]; then
    mkdir full && cp photo.png full/ && ln -s /dev/full full/photo.png_swapGB.png
    expect full $'full/photo.png\n' 1 "$(filtered full/photo.png 320 240)"$'Image error: Could not save image data\n\n'
fi

[ "$failures" = 0 ] && echo "oilbrush e2e: all cases passed"
[ "$failures" = 0 ]

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

# expect <name> <typed input> <status> <expected stdout>
expect() {
    local name="$1" typed="$2" status="$3" want="$4" got rc
    got="$(printf '%s' "$typed" | "$prog" 2>/dev/null; echo "rc=$?")"
    rc="${got##*rc=}"
    got="${got%rc=*}"
    [ "$rc" = "$status" ] || fail "$name: exit status $rc, want $status"
    [ "$got" = "$want" ] || fail "$name: output differs"$'\n'"--- got:"$'\n'"$got"$'\n'"--- want:"$'\n'"$want"
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

expect success $'photo.png\n' 0 "PNG infile: Reading photo.png...
320 x 240 pixels
buffer size: 307200 bytes
processing...
writing to photo.png_swapGB.png...done.
"
"$check" verify photo.png photo.png_swapGB.png || fail "success: output file"

expect missing $'nothere.png\n' 1 "PNG infile: Image error: Couldn't open image

"
expect rgb $'rgb.png\n' 1 "PNG infile: Reading rgb.png...
Image error: Only true color alpha images supported

"
expect damaged $'damaged.png\n' 1 "PNG infile: Reading damaged.png...
Image error: Could not read image data

"
expect small $'small.png\n' 0 "PNG infile: Reading small.png...
7 x 40 pixels
buffer size: 1120 bytes
processing...
writing to small.png_swapGB.png...done.
"
"$check" verify small.png small.png_swapGB.png || fail "small: output file"

expect empty "" 1 "PNG infile: Image error: No file name given

"
expect long "$(printf 'x%.0s' $(seq 1 45)).png" 1 "PNG infile: Image error: File name too long: at most 38 characters

"

# An output that cannot be created (a folder in its place), and one whose bytes are lost
# (a link to the full device): both errors, never "done.".
mkdir out && cp photo.png out/ && mkdir out/photo.png_swapGB.png
expect uncreatable $'out/photo.png\n' 1 "PNG infile: Reading out/photo.png...
320 x 240 pixels
buffer size: 307200 bytes
processing...
writing to out/photo.png_swapGB.png...Image error: Could not open image to save

"
if [ -e /dev/full ]; then
    mkdir full && cp photo.png full/ && ln -s /dev/full full/photo.png_swapGB.png
    expect full $'full/photo.png\n' 1 "PNG infile: Reading full/photo.png...
320 x 240 pixels
buffer size: 307200 bytes
processing...
writing to full/photo.png_swapGB.png...Image error: Could not save image data

"
fi

[ "$failures" = 0 ] && echo "oilbrush e2e: all cases passed"
[ "$failures" = 0 ]

#!/usr/bin/env bash
# scripts/screenshots.sh run into a fresh folder: every picture the pages show is there,
# of its size, and not blank below the title bar.
#   screenshots_e2e.sh <screenshots.sh> <build folder> <display number>
set -u
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
BUILD_DIR=$2 SCREENSHOT_DISPLAY=$3 bash "$1" "$out" >/dev/null || { echo "FAIL: $1 failed"; exit 1; }
fail=0
for want in "fractview 640 508" "spherecast 640 508" "gravsim 640 668" "clusterview 640 668" \
            "oilbrush-input 320 240" "oilbrush-output 320 240"; do
    set -- $want
    got=$(convert "$out/$1.png" -format '%w %h ' -write info: -crop +0+28 +repage -colorspace gray \
          -format '%[fx:standard_deviation > 0.02 ? 1 : 0]' info: 2>/dev/null)
    [ "$got" = "$2 $3 1" ] || { echo "FAIL: $1.png: '$got', want '$2 $3 1' (width, height, not blank)"; fail=1; }
done
# The filter changed the picture.
[ "$(compare -metric AE "$out/oilbrush-input.png" "$out/oilbrush-output.png" null: 2>&1)" != 0 ] ||
    { echo "FAIL: oilbrush's output is its input"; fail=1; }
exit $fail

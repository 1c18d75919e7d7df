#!/usr/bin/env bash
# The pictures of the program pages: each viewer run under Xvfb on the cpu backend, its
# window grabbed with the title drawn above it, and oilbrush on an image made here.
#   scripts/screenshots.sh [OUT]     (default docs/img; BUILD_DIR default build/cpu)
# Builds the cpu preset first when a program is missing from BUILD_DIR/bin. Not under
# set -e: the e2e helpers it uses fail the run themselves, with a message.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/docs/img}" && cd "${1:-$root/docs/img}" && pwd)
build=${BUILD_DIR:-$root/build/cpu}
case $build in /*) ;; *) build=$PWD/$build ;; esac
disp=${SCREENSHOT_DISPLAY:-89}
programs=(fractview spherecast gravsim clusterview oilbrush)

for p in "${programs[@]}"; do
    if [ ! -x "$build/bin/$p" ]; then
        (cd "$root" && cmake --preset cpu >/dev/null && cmake --build --preset cpu -j"$(nproc)" --target "${programs[@]}") ||
            exit 1
        build=$root/build/cpu
        break
    fi
done

source "$root/tests/e2e/lib.sh"
work=$(mktemp -d)
trap 'e2e_cleanup; rm -rf "$work"' EXIT

# shot <name>: the window at 640 pixels wide under a bar with its title, as a window
# manager would draw it (Xvfb has none).
shot() {
    local title
    title=$(e2e_title)
    e2e_shot "$work/$1.png"
    convert "$work/$1.png" -alpha off -resize 640x -background '#2b2b2b' -gravity North -splice 0x28 \
        -font DejaVu-Sans -pointsize 15 -fill white -annotate +0+6 "$title" "$out/$1.png" || e2e_fail "cannot write $out/$1.png"
    echo "screenshots: $out/$1.png ($title)"
}

# view <program> <seconds> <title regex> [keys...]: starts it, presses the keys, waits
# for the title and then the seconds, grabs it, ends it with ESC.
view() {
    local prog=$1 secs=$2 re=$3
    shift 3
    e2e_start "$disp" "$build/bin/$prog"
    e2e_wait_title 'FPS' 60 >/dev/null
    [ $# -gt 0 ] && e2e_key "$@"
    e2e_wait_title "$re" 60 >/dev/null
    sleep "$secs"
    shot "$prog"
    e2e_escape
    e2e_cleanup
}

# fractview: GPU mode, c = -0.73 + 0.19i (a click 242 pixels left of and 63 above the
# centre, at 0.003 a pixel), the iteration cap at 30.
e2e_start "$disp" "$build/bin/fractview"
e2e_wait_title 'FPS' 60 >/dev/null
e2e_key 2
e2e_click 270 321
e2e_key $(printf 'Up %.0s' $(seq 15))
e2e_wait_title 'GPU mode' 60 >/dev/null
sleep 2
shot fractview
e2e_escape
e2e_cleanup

# spherecast: constant-memory mode, its 20 spheres, the scene's corner (0, 0) moved to the
# window's bottom-left corner with a click there, so the whole scene is in view.
e2e_start "$disp" "$build/bin/spherecast"
e2e_wait_title 'FPS' 60 >/dev/null
e2e_key 3
e2e_click 0 767
e2e_wait_title 'constant memory' 60 >/dev/null
sleep 2
shot spherecast
e2e_escape
e2e_cleanup
# gravsim: shared-memory mode (the key ', the digit 4 of a French keyboard), the cloud
# after some seconds of pulling together.
view gravsim 12 'shared memory' apostrophe
# clusterview: GPU mode at 131,072 points (four halvings: software GL draws fewer points
# faster), after enough iterations for the centroids to settle.
view clusterview 12 'GPU, 131072 points' 2 Down Down Down Down

# oilbrush: a noisy scene drawn here, filtered; the output keeps the input's size.
convert -size 400x300 gradient:'#3a6fd0'-'#f2d98a' -fill '#c03020' -draw 'circle 120,180 120,110' \
    -fill '#2f8a4a' -draw 'rectangle 220,150 370,280' -fill '#ffe040' -draw 'circle 320,60 320,30' \
    -fill '#503010' -draw 'polygon 20,300 200,230 400,300' -resize 320x240 -seed 5 -attenuate 0.8 +noise Gaussian \
    PNG32:"$work/input.png" || exit 1
(cd "$work" && printf 'input.png\n' | "$build/bin/oilbrush" >/dev/null 2>&1) || { echo "screenshots: oilbrush failed" >&2; exit 1; }
cp "$work/input.png" "$out/oilbrush-input.png" && cp "$work/input.png_swapGB.png" "$out/oilbrush-output.png" || exit 1
echo "screenshots: $out/oilbrush-input.png, $out/oilbrush-output.png"

#!/usr/bin/env bash
# spherecast in a real window: the three modes' titles, the start view (scene in the upper
# right quarter only), the arrows down to an empty scene and back, a click and a drag that
# pan, the wheel, and ESC with status 0.
# Use: spherecast_e2e.sh <program> <display number>
source "$(dirname "$0")/lib.sh"
prog=$1
disp=$2
shots=$(mktemp -d)
rate='[0-9]+\.[0-9]{2} FPS$'

# The brightest channel value (0-255) in a region WxH+X+Y of a screenshot.
region_max() { convert "$1" -crop "$2" +repage -format "%[fx:int(255*maxima+0.5)]" info:; }

# The start view shows scene x 0..511 and y 0..383 in the upper right quarter. No sphere
# reaches further than its radius (at most 164) past the origin at the window centre, so
# the lower left quarter is black beyond 165 pixels of the centre.
check_start_view() {
    local f=$1
    [ "$(region_max "$f" 347x384+0+384)" = 0 ] || e2e_fail "$f: lower left quarter lit (left part)"
    [ "$(region_max "$f" 512x219+0+549)" = 0 ] || e2e_fail "$f: lower left quarter lit (bottom part)"
    [ "$(region_max "$f" 512x384+512+0)" != 0 ]
}

# shot_until <file> <test command...>: screenshots until the test passes (10 s at most).
shot_until() {
    local f=$1
    shift
    for _ in $(seq 50); do
        e2e_shot "$f"
        "$@" "$f" && return 0
        sleep 0.2
    done
    return 1
}
all_black() { [ "$(region_max "$1" 1024x768+0+0)" = 0 ]; }
any_lit() { ! all_black "$1"; }
same_as() { e2e_same "$2" "$1"; }
differs_from() { ! e2e_same "$2" "$1"; }

e2e_start "$disp" "$prog"
grep -q "spherecast" "$E2E_LOG" || e2e_fail "no start-up line on standard error"

e2e_wait_title "^Raytracer:  CPU mode, $rate" 30

# Every mode draws its scene at the start view. The upper right quarter holds a sphere
# unless all 20 random centres fall elsewhere (p = 0.75^20); a re-entry draws a new scene.
for mode in 1 2 3; do
    case $mode in
        1) name="CPU mode" ;;
        2) name="GPU mode" ;;
        3) name="GPU mode - constant memory" ;;
    esac
    e2e_key "$mode"
    e2e_wait_title "^Raytracer:  $name, $rate" 30
    lit=no
    for _ in 1 2 3; do
        sleep 1
        e2e_shot "$shots/start$mode.png"
        if check_start_view "$shots/start$mode.png"; then
            lit=yes
            break
        fi
        e2e_key "$mode"
    done
    [ $lit = yes ] || e2e_fail "mode $mode: nothing lit in the upper right quarter"
done
cp "$shots/start3.png" "$shots/start.png"

# A click at the bottom left corner puts the scene origin there: the whole scene shows.
e2e_click 0 767
shot_until "$shots/panned.png" differs_from "$shots/start.png" || e2e_fail "the click did not pan"
# A drag back to the centre restores the start view exactly.
e2e_drag 0 767 512 384
shot_until "$shots/back.png" same_as "$shots/start.png" || e2e_fail "the drag to the centre did not restore the view"

# The wheel zooms about the window centre.
e2e_click 512 384 4
shot_until "$shots/zoomed.png" differs_from "$shots/start.png" || e2e_fail "the wheel did not zoom"
e2e_click 512 384 5

# Arrows, with the whole scene panned into view. Mode 3 holds 20 spheres, and there the up
# arrow adds none; 20 downs leave the scene empty and black; one up brings back one
# sphere, which shows wherever it is.
e2e_click 0 767
shot_until "$shots/all.png" differs_from "$shots/start.png" || e2e_fail "the click did not pan"
sleep 0.5
e2e_shot "$shots/all.png"
e2e_key Up Up Up
sleep 1
e2e_shot "$shots/all-up.png"
e2e_same "$shots/all.png" "$shots/all-up.png" || e2e_fail "the up arrow changed the scene in mode 3"
for _ in $(seq 22); do e2e_key Down; done
shot_until "$shots/empty.png" all_black || e2e_fail "the scene is not empty after 22 down arrows"
e2e_key Up
shot_until "$shots/one.png" any_lit || e2e_fail "the up arrow added no visible sphere"
e2e_alive

e2e_escape
rm -rf "$shots"
echo "PASS"

#!/usr/bin/env bash
# gravsim in a real window: title, the four mode keys and the ignored digits, the
# body-count arrows, white points on black, a drag turning the view, ESC.
# Usage: gravsim_e2e.sh <path to gravsim> <display number>
source "$(dirname "$0")/lib.sh"
PROG=$1
DISP=$2
SHOTS=$(mktemp -d)

e2e_start "$DISP" "$PROG"
grep -q "gravsim" "$E2E_LOG" || e2e_fail "no backend line on stderr"

FPS='[0-9]+\.[0-9]{2}'
e2e_wait_title "^N-Body \(mode: CPU, bodies: 1024, FPS: $FPS\)$" >/dev/null

# Each mode on its key; the title always names the mode that is being computed.
e2e_key 2
e2e_wait_title "^N-Body \(mode: GPU, bodies: 1024, FPS: $FPS\)$" >/dev/null
e2e_key quotedbl
e2e_wait_title "^N-Body \(mode: GPU double buffer, bodies: 1024, FPS: $FPS\)$" >/dev/null
e2e_key apostrophe
e2e_wait_title "^N-Body \(mode: GPU shared memory, bodies: 1024, FPS: $FPS\)$" >/dev/null
e2e_key ampersand
e2e_wait_title "^N-Body \(mode: CPU, bodies: 1024, FPS: $FPS\)$" >/dev/null

# The digits one, three and four are no mode keys here.
e2e_key 2
e2e_wait_title "^N-Body \(mode: GPU, " >/dev/null
e2e_key 1 3 4
sleep 1
t=$(e2e_title)
[[ "$t" =~ ^N-Body\ \(mode:\ GPU,\ bodies:\ 1024, ]] || e2e_fail "a digit changed the mode: '$t'"

# The arrow-key ladder.
e2e_key Up
e2e_wait_title "^N-Body \(mode: GPU, bodies: 1536, FPS: $FPS\)$" >/dev/null
e2e_key Down
e2e_wait_title "bodies: 1024," >/dev/null
e2e_key Down
e2e_wait_title "^N-Body \(mode: GPU, bodies: 896, FPS: $FPS\)$" >/dev/null

# White 2-pixel points on black.
e2e_key ampersand
e2e_wait_title "^N-Body \(mode: CPU, bodies: 896, " >/dev/null
e2e_shot "$SHOTS/points.png"
e2e_expect_pixel "$SHOTS/points.png" 5 5 0,0,0
e2e_expect_pixel "$SHOTS/points.png" 795 795 0,0,0
white=$(convert "$SHOTS/points.png" -fill black +opaque white -fill white -opaque white -format "%[fx:int(mean*w*h+0.5)]" info:)
other=$(convert "$SHOTS/points.png" -fill white -opaque black -fill black -opaque white -format "%[fx:int(mean*w*h+0.5)]" info:)
[ "$white" -ge 400 ] || e2e_fail "only $white white pixels in the picture"
[ "$other" -eq 0 ] || e2e_fail "$other pixels are neither white nor black"

# A drag turns the view. With one body the picture is one point; a drag along a circle
# outside the trackball turns the view about its axis by a quarter, so the point turns
# by about 90 degrees about the window centre (the body drifts a little meanwhile).
for _ in $(seq 30); do e2e_key Down; done
e2e_wait_title "bodies: 1," >/dev/null
# centroid <file>: "x y" of the white pixels
centroid() {
    convert "$1" -threshold 50% txt:- | awk -F'[,: ]+' '/#FFFFFF/ {x += $1; y += $2; n++}
        END { if (n) printf "%.1f %.1f\n", x / n, y / n; else print "none" }'
}
# A lone body feels no force and drifts in a straight line, so two shots before the
# drag give its drift on the screen; the point after the drag must be the extrapolated
# position turned by a quarter (a turn about the view axis commutes with the projection).
# stamped_shot <file>: takes the shot, prints the middle of the time it took.
stamped_shot() {
    local t0 t1
    t0=$(date +%s.%N)
    e2e_shot "$1"
    t1=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", (a + b) / 2 }'
}
ok=0
for try in $(seq 20); do
    ta=$(stamped_shot "$SHOTS/a.png")
    read -r ax ay <<<"$(centroid "$SHOTS/a.png")"
    sleep 0.3
    tb=$(stamped_shot "$SHOTS/b.png")
    read -r bx by <<<"$(centroid "$SHOTS/b.png")"
    # Well off the centre, slow enough for the extrapolation, and the same body in both.
    if [ "$ax" != none ] && [ "$bx" != none ] &&
        awk -v ax="$ax" -v ay="$ay" -v x="$bx" -v y="$by" 'BEGIN {
            exit !((x-400)^2 + (y-400)^2 > 40^2 && (x-400)^2 + (y-400)^2 < 330^2 &&
                   (x-ax)^2 + (y-ay)^2 < 15^2) }'; then
        ok=1
        break
    fi
    e2e_key Down  # a new random body
    sleep 0.3
done
[ "$ok" = 1 ] || e2e_fail "no slow single body off the centre of the picture"
xdotool mousemove --window "$E2E_WID" 400 10 mousedown 1
for a in 10 20 30 40 50 60 70 80 90; do
    xdotool mousemove --window "$E2E_WID" \
        $(awk -v a=$a 'BEGIN { printf "%d %d", 400 + 390 * sin(a * 3.14159265 / 180), 400 - 390 * cos(a * 3.14159265 / 180) }')
    sleep 0.03
done
xdotool mouseup 1
sleep 0.2
tc=$(stamped_shot "$SHOTS/turned.png")
read -r qx qy <<<"$(centroid "$SHOTS/turned.png")"
[ "$qx" != none ] || e2e_fail "the body left the picture after the drag"
read -r px py <<<"$(awk -v ax="$ax" -v ay="$ay" -v bx="$bx" -v by="$by" \
    -v ta="$ta" -v tb="$tb" -v tc="$tc" 'BEGIN {
    f = (tc - tb) / (tb - ta); printf "%.1f %.1f\n", bx + f * (bx - ax), by + f * (by - ay) }')"
echo "point at the drag, extrapolated ($px, $py); after the drag ($qx, $qy)"
awk -v px="$px" -v py="$py" -v qx="$qx" -v qy="$qy" 'BEGIN {
    ax = px - 400; ay = py - 400; bx = qx - 400; by = qy - 400
    ra = sqrt(ax * ax + ay * ay); rb = sqrt(bx * bx + by * by)
    c = (ax * bx + ay * by) / (ra * rb)
    exit !(c > -0.4 && c < 0.4 && rb > 0.7 * ra && rb < 1.3 * ra) }' ||
    e2e_fail "the drag did not turn the view by a quarter: ($px, $py) became ($qx, $qy)"

e2e_alive
e2e_escape
rm -rf "$SHOTS"
echo "PASS: gravsim end to end"

#!/usr/bin/env bash
# clusterview in a real window: titles of both modes, the point-count arrows, coloured
# points and white centroids on screen, a settled clustering that stops changing, a drag
# that turns the view, and ESC with status 0.
# Use: clusterview_e2e.sh <program> <display number>
source "$(dirname "$0")/lib.sh"
prog=$1
disp=$2
shots=$(mktemp -d)
rate='[0-9]+\.[0-9]{2} FPS$'

e2e_start "$disp" "$prog"
grep -q "clusterview" "$E2E_LOG" || e2e_fail "no start-up line on standard error"

e2e_wait_title "^K-means: CPU, 2097152 points, $rate" 60
e2e_key 2
e2e_wait_title "^K-means: GPU, 2097152 points, $rate" 60
e2e_key Up
e2e_wait_title "^K-means: GPU, 4194304 points, $rate" 60
e2e_key Down Down
e2e_wait_title "^K-means: GPU, 1048576 points, $rate" 60

# Colours in the picture: points in many cluster colours, centroids in white.
sleep 1
e2e_shot "$shots/points.png"
hist=$(convert "$shots/points.png" -format %c histogram:info:-)
white=$(echo "$hist" | awk '/#FFFFFF/ {n += $1} END {print n + 0}')
colours=$(echo "$hist" | grep -v -e '#000000' -e '#FFFFFF' | wc -l)
coloured=$(echo "$hist" | grep -v -e '#000000' -e '#FFFFFF' | awk '{n += $1} END {print n + 0}')
echo "white pixels: $white, coloured pixels: $coloured in $colours colours"
[ "$white" -ge 200 ] || e2e_fail "only $white white pixels: centroids missing"
[ "$coloured" -ge 20000 ] || e2e_fail "only $coloured coloured pixels: points missing"
[ "$colours" -ge 50 ] || e2e_fail "only $colours point colours: clusters not coloured"

# 256 points settle within a few frames; then the picture stops changing, until a drag
# turns the view.
for _ in $(seq 12); do e2e_key Down; done
e2e_wait_title "^K-means: GPU, 256 points, $rate" 60
e2e_key 1
e2e_wait_title "^K-means: CPU, 256 points, $rate" 60
sleep 2
e2e_shot "$shots/a.png"
sleep 0.5
e2e_shot "$shots/b.png"
e2e_same "$shots/a.png" "$shots/b.png" || e2e_fail "the settled clustering still changes the picture"
e2e_drag 400 400 640 400
sleep 0.5
e2e_shot "$shots/c.png"
e2e_same "$shots/a.png" "$shots/c.png" && e2e_fail "the drag did not turn the view"
e2e_alive

e2e_escape
rm -rf "$shots"
echo "PASS"

#!/usr/bin/env bash
# fractview in a real window: titles, mode keys, the start picture in both modes, the
# mouse (click and wheel), the arrows and ESC.
# Use: fractview_e2e.sh <path to fractview> <display number>
source "$(dirname "$0")/lib.sh"
prog=$1
disp=$2
work=$(mktemp -d)

e2e_start "$disp" "$prog"

# Until the first refresh the title is the creation title.
t=$(e2e_title)
[ "$t" = "Julia Fractals" ] || e2e_fail "creation title is '$t'"
e2e_wait_title '^Julia Fractals:  CPU mode, [0-9]+\.[0-9]{2} FPS$' >/dev/null

# A screenshot once the title names the mode and a few more frames have been drawn.
shot_in_mode() {  # <mode name> <file>
    e2e_wait_title "^Julia Fractals:  $1, " >/dev/null
    sleep 0.7
    e2e_shot "$2"
}

# Window (512, 383) is image row 384, column 512: the plane origin, in the set for c = 0;
# the corners escape at once.
check_start_picture() {
    e2e_expect_pixel "$1" 512 383 0,0,255
    e2e_expect_pixel "$1" 0 0 255,255,255
    e2e_expect_pixel "$1" 1023 0 255,255,255
    e2e_expect_pixel "$1" 0 767 255,255,255
    e2e_expect_pixel "$1" 1023 767 255,255,255
}

shot_in_mode "CPU mode" "$work/cpu.png"
check_start_picture "$work/cpu.png"

e2e_key 2
shot_in_mode "GPU mode" "$work/gpu.png"
check_start_picture "$work/gpu.png"
e2e_same "$work/cpu.png" "$work/gpu.png" || e2e_fail "CPU and GPU pictures of the start view differ"

e2e_key 1
e2e_wait_title '^Julia Fractals:  CPU mode, [0-9]+\.[0-9]{2} FPS$' >/dev/null
e2e_key 2
e2e_wait_title '^Julia Fractals:  GPU mode, [0-9]+\.[0-9]{2} FPS$' >/dev/null

# The wheel: X button 4 arrives as button 3 (zoom in), 5 as button 4 (zoom out), each on
# press and release. x = 340 pixels right of the centre is 1.02 at the start scale, just
# outside the blue unit disc; two notches in (scale / 1.05^4) bring it inside.
e2e_pixel "$work/gpu.png" 852 383 | grep -qv '^0,0,255$' || e2e_fail "pixel (852, 383) is blue at the start view"
e2e_click 852 383 4
e2e_click 852 383 4
shot_in_mode "GPU mode" "$work/zoomin.png"
e2e_expect_pixel "$work/zoomin.png" 852 383 0,0,255
e2e_same "$work/gpu.png" "$work/zoomin.png" && e2e_fail "the wheel did not zoom"
# Four notches out from there: 340 pixels are 1.02 * 1.05^4 > 1 again, outside the disc.
for _ in 1 2 3 4; do e2e_click 852 383 5; done
shot_in_mode "GPU mode" "$work/zoomout.png"
e2e_pixel "$work/zoomout.png" 852 383 | grep -qv '^0,0,255$' || e2e_fail "zooming out left (852, 383) blue"
# Back to the start scale: two notches in. The picture is the start picture again.
e2e_click 852 383 4
e2e_click 852 383 4
shot_in_mode "GPU mode" "$work/back.png"
e2e_same "$work/gpu.png" "$work/back.png" || e2e_fail "two notches in after two out did not restore the start view"

# A left click moves c to the point under the pointer: the picture changes, and the
# marker (red cleared, 0.01 plane units = 3 pixels) surrounds the pointer. c =
# (1.164, 0.852) escapes at once, so the marker shows against a light background.
e2e_click 900 100 1
shot_in_mode "GPU mode" "$work/click.png"
e2e_same "$work/gpu.png" "$work/click.png" && e2e_fail "a left click did not change the picture"
e2e_key 1
shot_in_mode "CPU mode" "$work/click_cpu.png"
e2e_same "$work/click.png" "$work/click_cpu.png" || e2e_fail "CPU and GPU pictures differ after the click"
IFS=, read -r r g _ <<<"$(e2e_pixel "$work/click_cpu.png" 900 100)"
[ "$r" = 0 ] && [ "$g" -gt 0 ] || e2e_fail "no marker under the pointer at (900, 100): $r,$g"
IFS=, read -r r _ _ <<<"$(e2e_pixel "$work/click_cpu.png" 906 100)"
[ "$r" -gt 0 ] || e2e_fail "the marker reaches 6 pixels from c"

# The arrows change the iteration cap: up changes the picture, down restores it.
e2e_key Up
shot_in_mode "CPU mode" "$work/up.png"
e2e_same "$work/click_cpu.png" "$work/up.png" && e2e_fail "the up arrow did not change the picture"
e2e_key Down Down
shot_in_mode "CPU mode" "$work/down.png"
e2e_same "$work/click_cpu.png" "$work/down.png" && e2e_fail "the down arrow did not change the picture"
e2e_key Up
shot_in_mode "CPU mode" "$work/updown.png"
e2e_same "$work/click_cpu.png" "$work/updown.png" || e2e_fail "up, down, down, up did not restore the picture"

e2e_escape
rm -rf "$work"
echo "fractview e2e: ok"

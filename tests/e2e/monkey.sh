#!/usr/bin/env bash
# A monkey in a viewer's window: a pseudo-random stream of mode keys, arrows, other keys,
# clicks, drags and wheel steps for a while, then ESC. Afterwards the program must still
# be drawing (its title is set again and again, naming the mode and count the stream left
# it in), ESC must end it with status 0, standard output must be empty and standard error
# must hold nothing but the program's start-up line: no sanitizer report, no message.
#
# Use: monkey.sh <program> <display number> [seconds (20)] [seed (1)]
#
# The stream is a function of the seed and the program only (its own generator below, the
# same on every machine), so a failing seed replays the same events; how many of them fit
# into the time depends on the machine, and the count is printed as "events sent: N".
# MONKEY_LOG=<file> keeps the list of events sent.
source "$(dirname "$0")/lib.sh"
prog=$1
disp=$2
secs=${3:-20}
seed=${4:-1}
name=$(basename "$prog")

# ---- the program's keys, title and counts ----------------------------------------------

fps='[0-9]+\.[0-9]{2}'
# Count models. Only gravsim and clusterview show a count in the title; the model predicts
# it, so a lost or misread arrow shows as a wrong title at the end.
#
# Limits, so that no frame takes minutes on a small machine (a sanitizer build included):
# an Up that would take the count past count_cap is sent as Down instead. fractview's
# iteration cap (50) and spherecast's sphere count (101) have ceilings of their own at
# which a CPU frame stays well under a second, so they are not limited. gravsim's CPU
# step is quadratic in the body count (its ceiling, a million bodies, is 10^12
# interactions a frame): at most 3072 bodies. clusterview's CPU frame is linear in the
# point count but already about a second at its start count of 2,097,152 points, so the
# stream keeps it at 524,288 points or fewer (the first Ups turn into Downs until then).
count_cap=0
case $name in
fractview)
    mode_keys=(1 2)
    mode_names=("CPU mode" "GPU mode")
    digits=(0 3 4 5 6 7 8 9)
    title_re() { echo "^Julia Fractals:  $1, $fps FPS\$"; }
    win_w=1024 win_h=768
    ;;
spherecast)
    mode_keys=(1 2 3)
    mode_names=("CPU mode" "GPU mode" "GPU mode - constant memory")
    digits=(0 4 5 6 7 8 9)
    title_re() { echo "^Raytracer:  $1, $fps FPS\$"; }
    win_w=1024 win_h=768
    ;;
gravsim)
    mode_keys=(ampersand 2 quotedbl apostrophe)
    mode_names=("CPU" "GPU" "GPU double buffer" "GPU shared memory")
    digits=(0 1 3 4 5 6 7 8 9)
    title_re() { echo "^N-Body \\(mode: $1, bodies: $count, FPS: $fps\\)\$"; }
    win_w=800 win_h=800
    count=1024 count_cap=3072
    count_up() {
        if ((count < 16)); then echo $((count + 1))
        elif ((count < 128)); then echo $((count + 16))
        elif ((count < 1024)); then echo $((count + 128))
        else echo $((count + 512)); fi
    }
    count_down() {
        if ((count > 1024)); then echo $((count - 512))
        elif ((count > 128)); then echo $((count - 128))
        elif ((count > 16)); then echo $((count - 16))
        elif ((count > 1)); then echo $((count - 1))
        else echo "$count"; fi
    }
    ;;
clusterview)
    mode_keys=(1 2)
    mode_names=("CPU" "GPU")
    digits=(0 3 4 5 6 7 8 9)
    title_re() { echo "^K-means: $1, $count points, $fps FPS\$"; }
    win_w=800 win_h=800
    count=2097152 count_cap=524288
    count_up() { echo $((count * 2)); }
    count_down() { if ((count > 256)); then echo $((count / 2)); else echo "$count"; fi; }
    ;;
*)
    echo "monkey.sh: no key table for '$name'" >&2
    exit 2
    ;;
esac
mode=0  # index into mode_keys; every viewer starts in its first mode

# Keys that are neither ESC nor a mode key of any viewer (the mode characters of the others
# are fine: here they are just keys). Control with a letter gives the characters 1 to 26;
# no combination here can produce ESC (0x1B, which Control gives with '[' or '3').
other_keys=(a b c e k m q r s w x z A Q Z space Return Tab BackSpace Delete minus plus
    equal comma period slash semicolon bracketleft bracketright backslash grave asterisk
    F1 F2 F3 F4 F5 F6 F7 F8 F9 F10 F11 F12 Home End Prior Next Insert
    Shift_L Control_L Alt_L ctrl+a ctrl+c ctrl+z ctrl+q alt+x shift+F1)
if [ "$name" != gravsim ]; then other_keys+=(ampersand quotedbl apostrophe); fi

# ---- the stream --------------------------------------------------------------------------

# A 64-bit linear congruential generator in bash arithmetic: the same stream for the same
# seed on every machine and bash version (awk's and bash's own generators differ).
rng=$((seed * 2654435761 + 40503))
rnd() {  # rnd <n>: R = the next number in [0, n)
    rng=$((rng * 6364136223846793005 + 1442695040888963407))
    R=$((((rng >> 33) & 0x7fffffff) % $1))
}
for _ in 1 2 3 4; do rnd 2; done
in_window() {  # x, y: a random point of the window
    rnd "$win_w"
    x=$R
    rnd "$win_h"
    y=$R
}

# next_event: sets EV (what it is, for the log) and ARGS (the xdotool command chain).
# Key events go to the focused window through XTEST like real typing; mouse events at
# window coordinates, drags also beyond the window's edges (the pointer stays grabbed).
next_event() {
    local pick key b b2 x y n i steps tx ty
    rnd 100
    pick=$R
    ARGS=(windowfocus "$E2E_WID")
    if ((pick < 14)); then
        rnd ${#mode_keys[@]}
        mode=$R
        key=${mode_keys[$R]}
        EV="mode key $key"
        ARGS+=(key "$key")
    elif ((pick < 38)); then
        rnd 4
        key=(Up Down Left Right)
        key=${key[$R]}
        if [ "$count_cap" != 0 ] && [ "$key" = Up ] && (($(count_up) > count_cap)); then
            key=Down
        fi
        if [ "$count_cap" != 0 ]; then
            [ "$key" = Up ] && count=$(count_up)
            [ "$key" = Down ] && count=$(count_down)
        fi
        EV="arrow $key"
        ARGS+=(key "$key")
    elif ((pick < 48)); then
        rnd ${#digits[@]}
        EV="digit ${digits[$R]}"
        ARGS+=(key "${digits[$R]}")
    elif ((pick < 60)); then
        rnd ${#other_keys[@]}
        EV="key ${other_keys[$R]}"
        ARGS+=(key "${other_keys[$R]}")
    elif ((pick < 70)); then
        rnd 3
        b=$((R + 1))
        in_window
        EV="click $b at $x,$y"
        ARGS+=(mousemove --window "$E2E_WID" "$x" "$y" mousedown "$b" mouseup "$b")
    elif ((pick < 83)); then
        # Wheel: X buttons 4 and 5 (the program's buttons 3 and 4), now and then the
        # sideways buttons 6 and 7 (its 5 and 6, which mean nothing to it).
        rnd 10
        if ((R == 0)); then rnd 2; b=$((R + 6)); else rnd 2; b=$((R + 4)); fi
        rnd 3
        n=$((R + 1))
        in_window
        EV="wheel $b x$n at $x,$y"
        ARGS+=(mousemove --window "$E2E_WID" "$x" "$y")
        for ((i = 0; i < n; i++)); do ARGS+=(mousedown "$b" mouseup "$b"); done
    else
        rnd 3
        b=$((R + 1))
        in_window
        EV="drag $b from $x,$y"
        ARGS+=(mousemove --window "$E2E_WID" "$x" "$y" mousedown "$b" sleep 0.02)
        rnd 6
        steps=$((R + 2))
        for ((i = 0; i < steps; i++)); do
            rnd $((win_w + 200))
            tx=$R
            rnd $((win_h + 200))
            ty=$R
            EV+=" to $tx,$ty"
            ARGS+=(mousemove --window "$E2E_WID" "$tx" "$ty" sleep 0.02)
            # Now and then another button or a wheel step in the middle of the drag.
            rnd 8
            if ((R == 0)); then
                rnd 4
                b2=$((R + 2))
                ((b2 == b)) && b2=5
                EV+=" (click $b2)"
                ARGS+=(mousedown "$b2" mouseup "$b2")
            fi
        done
        ARGS+=(mouseup "$b")
    fi
    # A pause of 0 to 39 ms before the next event.
    rnd 40
    ARGS+=(sleep "0.0$(printf %02d "$R")")
}

# ---- run ---------------------------------------------------------------------------------

e2e_start "$disp" "$prog"
e2e_wait_title "$(title_re "${mode_names[0]}")" 120 >/dev/null

log=${MONKEY_LOG:-$(mktemp)}
: >"$log"
sent=0
end=$((SECONDS + secs))
while ((SECONDS < end)); do
    next_event
    echo "$EV" >>"$log"
    if ! xdotool "${ARGS[@]}" 2>/dev/null || ! kill -0 "$E2E_PID" 2>/dev/null; then
        # A window that went away fails the next xdotool call, so ask the program first.
        sleep 0.5
        kill -0 "$E2E_PID" 2>/dev/null && e2e_fail "xdotool could not send event $((sent + 1)): $EV"
        e2e_fail "$name ended during the stream (seed $seed) at event $((sent + 1)); the last ones:
$(tail -n 8 "$log")"
    fi
    sent=$((sent + 1))
done
echo "events sent: $sent"

# Still drawing: the title is set at least twice more, naming the mode and count that the
# stream left behind. A sanitizer build works through the queued events slowly.
expect=$(title_re "${mode_names[$mode]}")
spy=$(mktemp)
xprop -id "$E2E_WID" -spy WM_NAME >"$spy" 2>/dev/null &
spy_pid=$!
ok=0
for _ in $(seq 900); do
    kill -0 "$E2E_PID" 2>/dev/null ||
        e2e_fail "$name ended after the stream (seed $seed); the last events:
$(tail -n 8 "$log")"
    # The first line is the title as it was when the spy started, not a refresh.
    n=$(tail -n +2 "$spy" | sed 's/^[^"]*"//; s/"$//' | grep -cE "$expect")
    if ((n >= 2)); then
        ok=1
        break
    fi
    sleep 0.2
done
kill "$spy_pid" 2>/dev/null
wait "$spy_pid" 2>/dev/null
last=$(e2e_title)
rm -f "$spy"
[ "$ok" = 1 ] || e2e_fail "title not refreshed as /$expect/ after the stream (seed $seed); last: '$last'"
echo "still drawing: $last"

# ESC, with time for a slow frame to finish and for the leak check at exit.
e2e_key Escape
for _ in $(seq 600); do
    kill -0 "$E2E_PID" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$E2E_PID" 2>/dev/null && e2e_fail "$name still running 60 s after ESC"
rc=0
wait "$E2E_PID" || rc=$?
E2E_PID=""
[ "$rc" = 0 ] || e2e_fail "exit status after ESC was $rc (seed $seed)"

# Nothing reported: stdout empty, stderr no more than the start-up line. A cuda build
# without a device also refuses each GPU mode key with one line.
[ -s "$E2E_LOG.out" ] && e2e_fail "standard output is not empty: $(head -c 300 "$E2E_LOG.out")"
lines=$(wc -l <"$E2E_LOG")
if grep -q "^$name: no CUDA device found" "$E2E_LOG"; then
    lines=$(grep -cvE "^$name: cannot allocate [0-9]+ bytes of device memory for .*; staying in mode" "$E2E_LOG")
fi
if ((lines > 1)) || { ((lines == 1)) && ! grep -qE "^$name: (built with the cpu backend|no CUDA device found)" "$E2E_LOG"; }; then
    e2e_fail "standard error holds more than the start-up line (seed $seed)"
fi
[ -z "${MONKEY_LOG:-}" ] && rm -f "$log"
rm -f "$E2E_LOG.out"
echo "PASS: $name monkey, seed $seed"

#!/usr/bin/env bash
# ESC in the middle of a frame that takes many seconds: gravsim in CPU mode with 52224
# bodies (a CPU step of 2.7e9 body pairs, over ten seconds here). The program must be
# gone within half a second of the key, with status 0, while the frame is still running.
# Usage: gravsim_escape_e2e.sh <path to gravsim> <display number>
source "$(dirname "$0")/lib.sh"
PROG=$1
DISP=$2
UPS=100                       # up from 1024 by 512 a press
BODIES=$((1024 + 512 * UPS))
HOLD=3                        # seconds the frame must be seen running before ESC
LIMIT_MS=500

e2e_start "$DISP" "$PROG"
e2e_wait_title "^N-Body \(mode: CPU, bodies: 1024, " >/dev/null

# All presses at once: freeglut takes every queued key before the next frame, so the
# count gets there after a few short frames.
xdotool key --delay 0 $(printf 'Up %.0s' $(seq $UPS))
# At this count every frame is far longer than the 200 ms interval, so each frame
# refreshes the title before its step: the title naming the count marks a step starting.
first=$(e2e_wait_title "^N-Body \(mode: CPU, bodies: $BODIES, " 60)

# cpu_ticks: user + system clock ticks of the program so far.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$E2E_PID/stat"; }
c0=$(cpu_ticks)
sleep $HOLD
c1=$(cpu_ticks)
t=$(e2e_title)
# No new frame began meanwhile (it would have refreshed the title), and the program
# was computing all along, not waiting.
[ "$t" = "$first" ] || e2e_fail "a frame ended within $HOLD s ('$first' became '$t'): frames are not long enough here"
busy=$(( (c1 - c0) * 100 / $(getconf CLK_TCK) ))
[ "$busy" -ge 50 ] || e2e_fail "the program used only $busy/100 s of CPU in $HOLD s: no step running"
echo "frame in progress for over $HOLD s ($busy/100 s of CPU), title '$t'"

# The wait for the end starts no process, so that it measures the program, not the
# test: the time from $EPOCHREALTIME, a nap from read -t on a pipe that stays empty.
exec {nap}<> <(:)
ended() {
    local st
    { read -r -a st <"/proc/$E2E_PID/stat"; } 2>/dev/null || return 0
    [ "${st[2]}" = Z ]
}
xdotool windowfocus "$E2E_WID" 2>/dev/null
t0=${EPOCHREALTIME/./}
xdotool key --delay 0 Escape  # press and release at once, as the tool exits
sent=${EPOCHREALTIME/./}
gone=0
while :; do
    ended && { gone=1; break; }
    (( (${EPOCHREALTIME/./} - sent) / 1000 <= LIMIT_MS )) || break
    read -t 0.002 -u "$nap"
done
ms=$(( (${EPOCHREALTIME/./} - sent) / 1000 ))
[ "$gone" = 1 ] || e2e_fail "still running ${ms} ms after ESC in the middle of a frame"
rc=0
wait "$E2E_PID" || rc=$?
E2E_PID=""
[ "$rc" = 0 ] || e2e_fail "exit status after ESC was $rc"
echo "ended ${ms} ms after ESC (the key tool took $(( (sent - t0) / 1000 )) ms), status 0"
echo "PASS: gravsim ends on ESC in the middle of a long frame"

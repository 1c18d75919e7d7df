# Helpers of the viewers' end-to-end tests: a private Xvfb display, the program in a real
# window, keys and mouse through XTEST, the title and pixels read back.
#
# Use: source lib.sh; e2e_start <display-number> <program> ; ... ; e2e_escape
# Every helper fails the test (exit 1) with a message when something does not happen.

set -u
E2E_PID=""
E2E_XVFB=""
E2E_WID=""
E2E_LOG=""

e2e_fail() {
    echo "FAIL: $*" >&2
    [ -n "$E2E_LOG" ] && [ -f "$E2E_LOG" ] && sed 's/^/  program: /' "$E2E_LOG" >&2
    e2e_cleanup
    exit 1
}

e2e_cleanup() {
    [ -n "$E2E_PID" ] && kill "$E2E_PID" 2>/dev/null
    if [ -n "$E2E_XVFB" ]; then
        # Wait for the server to go, so that a next run can take the same display number.
        kill "$E2E_XVFB" 2>/dev/null && wait "$E2E_XVFB" 2>/dev/null
    fi
    E2E_PID=""
    E2E_XVFB=""
}
trap e2e_cleanup EXIT

# e2e_start <display> <program> [args]: starts Xvfb and the program, waits for its window.
e2e_start() {
    local disp=$1
    shift
    export DISPLAY=":$disp"
    local xlog up=0 try
    xlog=$(mktemp)
    for try in 1 2 3; do
        # A server of an earlier run on this number (another process) may still be going.
        for _ in $(seq 50); do
            [ -e "/tmp/.X$disp-lock" ] || break
            sleep 0.1
        done
        # -noreset: by default the server resets when its last client goes, here each
        # probe below; a program connecting during that reset is refused ("failed to open
        # display"), which a loaded machine turns into a flaky test.
        Xvfb "$DISPLAY" -noreset -screen 0 1280x1024x24 -nolisten tcp >"$xlog" 2>&1 &
        E2E_XVFB=$!
        for _ in $(seq 100); do
            kill -0 "$E2E_XVFB" 2>/dev/null || break
            if xdpyinfo >/dev/null 2>&1; then
                up=1
                break
            fi
            sleep 0.1
        done
        # The server must be ours and stay up: one that answered and went is started again.
        sleep 0.2
        [ "$up" = 1 ] && kill -0 "$E2E_XVFB" 2>/dev/null && xdpyinfo >/dev/null 2>&1 && break
        up=0
        wait "$E2E_XVFB" 2>/dev/null
        E2E_XVFB=""
        echo "Xvfb on $DISPLAY, try $try, did not come up:" >&2
        sed 's/^/  Xvfb: /' "$xlog" >&2
        sleep 1
    done
    rm -f "$xlog"
    [ "$up" = 1 ] || e2e_fail "Xvfb did not start on $DISPLAY"
    E2E_LOG=$(mktemp)
    "$@" >"$E2E_LOG.out" 2>"$E2E_LOG" &
    E2E_PID=$!
    for _ in $(seq 400); do
        E2E_WID=$(xdotool search --pid "$E2E_PID" 2>/dev/null | head -n 1)
        # freeglut sets no _NET_WM_PID; on the test's own display the one visible named
        # window is the program's.
        [ -z "$E2E_WID" ] && E2E_WID=$(xdotool search --onlyvisible --name '.' 2>/dev/null | head -n 1)
        [ -n "$E2E_WID" ] && break
        kill -0 "$E2E_PID" 2>/dev/null || e2e_fail "$1 ended before opening its window"
        sleep 0.05
    done
    [ -n "$E2E_WID" ] || e2e_fail "no window from $1"
    xdotool windowfocus --sync "$E2E_WID" 2>/dev/null || xdotool windowfocus "$E2E_WID"
}

e2e_title() { xdotool getwindowname "$E2E_WID" 2>/dev/null; }

# e2e_wait_title <extended regex> [seconds]: waits until the title matches; prints it.
e2e_wait_title() {
    local re=$1 secs=${2:-20} t
    local end=$((SECONDS + secs))
    while [ $SECONDS -le $end ]; do
        t=$(e2e_title)
        if [[ "$t" =~ $re ]]; then
            echo "$t"
            return 0
        fi
        kill -0 "$E2E_PID" 2>/dev/null || e2e_fail "program ended while waiting for title /$re/ (last: '$t')"
        sleep 0.1
    done
    e2e_fail "title never matched /$re/ (last: '$(e2e_title)')"
}

# e2e_key <xdotool key name>...: key presses sent to the focused window.
e2e_key() {
    xdotool windowfocus "$E2E_WID" 2>/dev/null
    xdotool key --delay 30 "$@"
}

# e2e_click <x> <y> [button]: press and release at window coordinates.
e2e_click() {
    xdotool mousemove --window "$E2E_WID" "$1" "$2" click "${3:-1}"
}

# e2e_drag <x0> <y0> <x1> <y1> [button]
e2e_drag() {
    local b=${5:-1}
    xdotool mousemove --window "$E2E_WID" "$1" "$2" mousedown "$b"
    sleep 0.1
    local i
    for i in 1 2 3 4 5; do
        xdotool mousemove --window "$E2E_WID" $(($1 + ($3 - $1) * i / 5)) $(($2 + ($4 - $2) * i / 5))
        sleep 0.05
    done
    xdotool mouseup "$b"
}

# e2e_shot <file>: a screenshot of the program's window (the window sits at (0, 0)).
e2e_shot() { import -window "$E2E_WID" "$1" 2>/dev/null || e2e_fail "screenshot failed"; }

# e2e_pixel <file> <x> <y>: the pixel as "r,g,b" (0-255).
e2e_pixel() {
    convert "$1" -format "%[fx:int(255*p{$2,$3}.r+0.5)],%[fx:int(255*p{$2,$3}.g+0.5)],%[fx:int(255*p{$2,$3}.b+0.5)]" info:
}

# e2e_expect_pixel <file> <x> <y> <r,g,b>
e2e_expect_pixel() {
    local got
    got=$(e2e_pixel "$1" "$2" "$3")
    [ "$got" = "$4" ] || e2e_fail "pixel ($2, $3) of $1 is $got, expected $4"
}

# e2e_same <file> <file>: true when two screenshots are identical.
e2e_same() { [ "$(compare -metric AE "$1" "$2" null: 2>&1)" = "0" ]; }

# e2e_escape: ESC must end the program with status 0.
e2e_escape() {
    e2e_key Escape
    local rc=0
    for _ in $(seq 100); do
        kill -0 "$E2E_PID" 2>/dev/null || break
        sleep 0.05
    done
    kill -0 "$E2E_PID" 2>/dev/null && e2e_fail "program still running after ESC"
    wait "$E2E_PID" || rc=$?
    E2E_PID=""
    [ "$rc" = 0 ] || e2e_fail "exit status after ESC was $rc"
}

# e2e_alive: the program is still running and still refreshing its title.
e2e_alive() {
    kill -0 "$E2E_PID" 2>/dev/null || e2e_fail "program is no longer running"
}

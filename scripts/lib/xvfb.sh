# start_xvfb FIRST LAST LOG: starts Xvfb on the first free display number from FIRST to LAST,
# exports DISPLAY and sets XVFB_PID. Returns 1 when no display could be started. Sourced by
# the scripts that run Windows programs headless.
start_xvfb() {
    local first=$1 last=$2 log=$3 n
    XVFB_PID=
    for n in $(seq "$first" "$last"); do
        { [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ]; } && continue
        Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >"$log" 2>&1 &
        XVFB_PID=$!
        for _ in $(seq 50); do
            [ -e /tmp/.X11-unix/X$n ] && break
            kill -0 "$XVFB_PID" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$XVFB_PID" 2>/dev/null && [ -e /tmp/.X11-unix/X$n ]; then
            export DISPLAY=:$n
            return 0
        fi
        XVFB_PID=  # another user took the display first: try the next
    done
    return 1
}

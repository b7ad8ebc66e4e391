# Sourced: start_headless_x DIR starts Xvfb on the first free display, sets
# DISPLAY to it and XVFB_PID to the server.  -noreset keeps the server up
# between clients as a desktop's is; without it the server resets whenever
# its last client leaves and drops the connections that arrive meanwhile.
start_headless_x() {
    local dir=$1 displayfd
    mkdir -p "$dir"
    rm -f "$dir/display"
    exec {displayfd}>"$dir/display"
    Xvfb -displayfd "$displayfd" -noreset -nolisten tcp -screen 0 640x480x24 >/dev/null 2>&1 &
    XVFB_PID=$!
    exec {displayfd}>&-
    for _ in $(seq 200); do
        [ -s "$dir/display" ] && break
        sleep 0.1
    done
    [ -s "$dir/display" ] || { echo "Xvfb did not start" >&2; return 1; }
    DISPLAY=":$(tr -d '\n' <"$dir/display")"
    export DISPLAY
}

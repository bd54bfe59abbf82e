#!/bin/bash
# A private Xvfb screen with moving desktop content, for the stream and peer benchmarks. Sourced.
#
# start_moving_screen DISPLAY WIDTH HEIGHT: starts Xvfb on DISPLAY (":97") with a flat desktop, a
# terminal scrolling directory listings and a text window moved a few pixels every 16 ms. Every
# process it starts is remembered by its id; stop_moving_screen stops them, newest first (the
# server last). Callers set `trap stop_moving_screen EXIT`.
# Needs Xvfb, xterm, xfonts-base, xdotool and xdpyinfo (x11-utils).

moving_screen_pids=()

stop_moving_screen() {
    local i
    for ((i = ${#moving_screen_pids[@]} - 1; i >= 0; i--)); do
        kill "${moving_screen_pids[i]}" 2>/dev/null || true
        wait "${moving_screen_pids[i]}" 2>/dev/null || true
    done
    moving_screen_pids=()
}

start_moving_screen() {
    local screen="$1" width="$2" height="$3"
    if DISPLAY="$screen" xdpyinfo >/dev/null 2>&1; then
        echo "display $screen is already in use; pick another with DISPLAY_NUMBER" >&2
        return 1
    fi
    Xvfb "$screen" -screen 0 "${width}x${height}x24" -noreset -nolisten tcp >/dev/null 2>&1 &
    moving_screen_pids+=($!)
    local _
    for _ in $(seq 1 50); do
        DISPLAY="$screen" xdpyinfo >/dev/null 2>&1 && break
        sleep 0.1
    done
    DISPLAY="$screen" xdpyinfo >/dev/null 2>&1 || { echo "Xvfb did not start on $screen" >&2; return 1; }
    DISPLAY="$screen" xterm -geometry 160x45+40+40 -bg white -fg black \
        -e bash -c 'while :; do ls -l /usr/share/doc /usr/lib/x86_64-linux-gnu; sleep 0.2; done' 2>/dev/null &
    moving_screen_pids+=($!)
    DISPLAY="$screen" xterm -title mover -geometry 100x30+600+300 -bg '#202020' -fg '#c0e0c0' \
        -e bash -c 'cat /usr/share/common-licenses/GPL-3; exec sleep infinity' 2>/dev/null &
    moving_screen_pids+=($!)
    local wid=""
    for _ in $(seq 1 50); do
        wid="$(DISPLAY="$screen" xdotool search --name '^mover$' 2>/dev/null | head -1)" && [[ -n "$wid" ]] && break
        sleep 0.1
    done
    [[ -n "$wid" ]] || { echo "the moving window did not appear" >&2; return 1; }
    (
        x=0 y=0 dx=6 dy=3
        while :; do
            x=$((x + dx)) y=$((y + dy))
            ((x < 0 || x > width - 700)) && dx=$((-dx))
            ((y < 0 || y > height - 450)) && dy=$((-dy))
            DISPLAY="$screen" xdotool windowmove "$wid" "$x" "$y" 2>/dev/null
            sleep 0.016
        done
    ) 2>/dev/null &
    moving_screen_pids+=($!)
}

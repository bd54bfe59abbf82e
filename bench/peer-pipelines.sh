#!/bin/bash
# Screen-to-HEVC pipelines a user could reach for instead of ours, on one private Xvfb screen with
# moving desktop content (bench/moving-screen.sh), 600 frames at a 30 fps target, with every core
# and confined to two cores:
#   - ffmpeg x11grab -> libx265 ultrafast/zerolatency at the main job's bit rate, 4:2:0 (ffmpeg
#     left to itself would encode the BGRA screen as 4:4:4 RGB);
#   - GStreamer ximagesrc ! videoconvert ! x265enc (ultrafast, zerolatency, the same bit rate);
#   - ours: the main job on the same screen for the time those frames take, with a controller
#     screen whose composite is 1920x1088 (--phone 1746x982), so that all three encode about the
#     same picture size.
# For each: achieved frames per second (frames / wall time) and CPU milliseconds per frame (user +
# system time of the pipeline's processes / frames; ours: the "frames encoded" of its summary),
# and ours against ffmpeg's CPU per frame in the same run (goal: at most 1.0).
#
# The bit rate is the one the main job's encoder policy settles on over its lossless link (the
# excellent grade: 25 Mbit/s; BITRATE_KBPS sets another); the main job caps the rate at 30 fps, as
# the peers' -framerate 30 does. Each line also gives the bit rate the pipeline really made (ours
# spends less on easy content: its quantiser does not go below 18). Two-core runs are confined the way
# confine.sh explains, and every thread's allowed CPUs are checked while the pipeline runs.
#
# Usage: bench/peer-pipelines.sh [our command line...]
#   Without arguments ours is build/tools/mivodrell-stream as above. With a command line, it is
#   run instead, e.g. bench/peer-pipelines.sh build/tools/mivodrell-stream --source x11 \
#       --display {display} --seconds {seconds} --phone 1920x1080
#   where {display} is replaced with the Xvfb display, {frames} with the frame count and
#   {seconds} with the time those frames take at the target rate. OURS=none leaves ours out.
#
# Other machines' load moves every figure; compare pipelines within one run and repeat the run
# (REPEAT=3 by default). The peers' packages are installed here, for this benchmark only.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/confine.sh"
source "$here/moving-screen.sh"

FRAMES="${FRAMES:-600}"
FPS=30
BITRATE_KBPS="${BITRATE_KBPS:-25000}"
WIDTH=1920
HEIGHT=1080
REPEAT="${REPEAT:-3}"
DISPLAY_NUMBER="${DISPLAY_NUMBER:-97}"
SCREEN=":$DISPLAY_NUMBER"
TWO_CORES="${TWO_CORES:-0-1}"

install_peers() {
    local packages=(ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
                    gstreamer1.0-plugins-bad xvfb xterm xfonts-base xdotool x11-utils)
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if ((${#missing[@]})); then
        local sudo=""
        [[ $(id -u) -ne 0 ]] && sudo=sudo
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

trap stop_moving_screen EXIT

# measure NAME CPUS COMMAND...: runs COMMAND (confined to CPUS unless "all") and prints its fps
# and CPU ms per frame. The command's own process tree is timed; the screen's clients are not.
measure() {
    local name="$1" cpus="$2"
    shift 2
    local start end times
    rm -f "$CONFINE_DIR/out"
    start=$(date +%s.%N)
    times="$( { TIMEFORMAT='%U %S'; time (confine_cores "$cpus" "$@" >/dev/null 2>&1 & pid=$!
        if [[ "$cpus" != all ]]; then
            sleep 3
            check_confined "$pid" "$cpus" 2>>"$CONFINE_DIR/escapes.log" ||
                echo "$name escaped its cores: figures not for $cpus" >>"$CONFINE_DIR/escapes.log"
        fi
        wait "$pid"); } 2>&1 )"
    end=$(date +%s.%N)
    local user sys
    read -r user sys <<<"$(tail -1 <<<"$times")"
    if [[ -s "$CONFINE_DIR/escapes.log" ]]; then
        cat "$CONFINE_DIR/escapes.log" >&2
        : >"$CONFINE_DIR/escapes.log"
    fi
    # A pipeline that runs for a time rather than a frame count leaves the frames it made here.
    local frames="$FRAMES"
    if [[ -s "$CONFINE_DIR/frames" ]]; then
        frames="$(cat "$CONFINE_DIR/frames")"
        rm -f "$CONFINE_DIR/frames"
    fi
    awk -v n="$name" -v c="$cpus" -v s="$start" -v e="$end" -v u="$user" -v y="$sys" -v f="$frames" \
        -v bytes="$(stat -c %s "$CONFINE_DIR/out" 2>/dev/null || echo 0)" -v seconds="$((FRAMES / FPS))" \
        'BEGIN { w = e - s; printf "%-24s cores %-4s %6.1f fps  %6.1f ms CPU/frame  %5.1f Mbit/s  (%.1f s)\n", n, c, f / w, (u + y) * 1000 / f, bytes * 8 / 1e6 / seconds, w }' |
        tee -a "$CONFINE_DIR/results"
}

run_ffmpeg() {
    measure "ffmpeg x11grab+x265" "$1" ffmpeg -nostdin -loglevel error -f x11grab -framerate "$FPS" \
        -video_size "${WIDTH}x${HEIGHT}" -i "$SCREEN" -frames:v "$FRAMES" -pix_fmt yuv420p \
        -c:v libx265 -preset ultrafast -tune zerolatency -b:v "${BITRATE_KBPS}k" \
        -x265-params log-level=error -f hevc -y "$CONFINE_DIR/out"
}

run_gstreamer() {
    measure "gst ximagesrc+x265enc" "$1" gst-launch-1.0 -q ximagesrc display-name="$SCREEN" use-damage=false \
        num-buffers="$FRAMES" ! "video/x-raw,framerate=$FPS/1" ! videoconvert ! \
        x265enc speed-preset=ultrafast tune=zerolatency bitrate="$BITRATE_KBPS" ! filesink location="$CONFINE_DIR/out" sync=false
}

# ---- Hook for our main-job command ---------------------------------------------------------
# run_ours CPUS COMMAND...: runs our pipeline on the same screen with the same frame count, so it
# is measured exactly like the peers. "{display}" and "{frames}" in the command line are
# replaced with the Xvfb display and the frame count. Nothing runs when no command was given.
run_ours() {
    local cpus="$1"
    shift
    (($#)) || return 0
    local args=() a
    for a in "$@"; do
        a="${a//\{display\}/$SCREEN}"
        a="${a//\{seconds\}/$((FRAMES / FPS))}"
        args+=("${a//\{frames\}/$FRAMES}")
    done
    local summary="$CONFINE_DIR/ours-summary.txt"
    measure "ours" "$cpus" bash -c '"$@" --output "$(dirname "$0")/out" >"$0"; status=$?
        awk "/frames encoded/ { print \$3 }" "$0" >"$(dirname "$0")/frames"; exit $status' "$summary" "${args[@]}"
}
# ---------------------------------------------------------------------------------------------

main() {
    install_peers
    mkdir -p "$CONFINE_DIR"
    : >"$CONFINE_DIR/results"
    start_moving_screen "$SCREEN" "$WIDTH" "$HEIGHT"
    sleep 1
    local ours=("$@")
    if ((${#ours[@]} == 0)) && [[ "${OURS:-}" != none ]]; then
        ours=("$here/../build/tools/mivodrell-stream" --source x11 --display "{display}" --seconds "{seconds}" --phone 1746x982)
    fi
    echo "Xvfb $SCREEN ${WIDTH}x${HEIGHT}, $FRAMES frames at a $FPS fps target, ${BITRATE_KBPS} kbit/s, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
    local r cpus
    for ((r = 1; r <= REPEAT; r++)); do
        echo "--- run $r"
        for cpus in all "$TWO_CORES"; do
            run_ffmpeg "$cpus"
            run_gstreamer "$cpus"
            run_ours "$cpus" "${ours[@]}"
        done
    done
    # Ours against ffmpeg, run by run and core count, from the CPU per frame column.
    awk '$1 == "ffmpeg" { ff[$4] = $7; next }
         $1 == "ours" { if (ff[$3] > 0) printf "ours / ffmpeg CPU per frame, cores %-4s %.2f\n", $3, $6 / ff[$3] }' \
        "$CONFINE_DIR/results"
}

main "$@"

#!/bin/bash
# The live stream's goals measured in one command: the main job (build/tools/mivodrell-stream) on
# a private 1920x1080 Xvfb screen with moving content (a scrolling terminal and a moving window,
# bench/moving-screen.sh) and on its default virtual source, each for a whole run, reported per
# 5 s window of the coordinator's cost probe:
#   tick_ms    the coordinator's mean composite + encode time in the window (its own log line)
#   fps        encoded frames per second in the window (ticks that composited and encoded)
#   cpu_ms     process CPU time (all threads, /proc) per encoded frame in the window
#   psnr_dB    the in-process replica's (see below) mean PSNR in the same 5 s of its own run
# Then, from the replica (build/bench/bench --benchmark_filter=StreamReplica, the same coordinator
# pipeline built and driven as the main job does, its x265 session observed): the PSNR of every
# encoded frame decoded with libavcodec against the composited picture it was made from, and a
# window of those pictures composited and encoded again alone ("composite + encode alone on the
# same frames") and given to a bare x265 with the session's own settings, quantisers and slice
# types ("x265 alone"). The main job's recording is decoded by ffmpeg to check that it plays.
# Last, on two cores (confined as bench/confine.sh explains), the main job's tick and fps with
# 1920x1088 and 1280x720 output.
#
# Usage: bench/stream-goals.sh [BUILD_DIR]
#   SECONDS_PER_RUN=60  REPLICA_SECONDS=$SECONDS_PER_RUN  SOURCES="x11 virtual"  PHONE=1920x1080
#   TWO_CORES=0-1 (empty: skip)  TWO_CORE_SECONDS=30  DISPLAY_NUMBER=96
# Needs the main job and the benchmark binary built, Xvfb, xterm, xfonts-base, xdotool, x11-utils
# and ffmpeg. Everything it starts it stops by process id; its files go to a temporary folder
# that is removed at the end (KEEP=1 keeps it and prints where).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/moving-screen.sh"
source "$here/confine.sh"

build="${1:-$here/../build}"
tool="$build/tools/mivodrell-stream"
bench="$build/bench/bench"
SECONDS_PER_RUN="${SECONDS_PER_RUN:-60}"
REPLICA_SECONDS="${REPLICA_SECONDS:-$SECONDS_PER_RUN}"
SOURCES="${SOURCES:-x11 virtual}"
PHONE="${PHONE:-1920x1080}"
TWO_CORES="${TWO_CORES-0-1}"
TWO_CORE_SECONDS="${TWO_CORE_SECONDS:-30}"
DISPLAY_NUMBER="${DISPLAY_NUMBER:-96}"
SCREEN=":$DISPLAY_NUMBER"

for need in "$tool" "$bench"; do
    [[ -x "$need" ]] || { echo "missing $need: cmake --build $build" >&2; exit 1; }
done
for need in Xvfb xterm xdotool xdpyinfo ffmpeg ffprobe; do
    command -v "$need" >/dev/null || { echo "missing $need (apt-get install xvfb xterm xfonts-base xdotool x11-utils ffmpeg)" >&2; exit 1; }
done

work="$(mktemp -d)"
job_pid=""
cleanup() {
    [[ -n "$job_pid" ]] && kill "$job_pid" 2>/dev/null && wait "$job_pid" 2>/dev/null || true
    stop_moving_screen
    if [[ "${KEEP:-0}" == 1 ]]; then echo "files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# The picture size of a recording's video.
size_of() { ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=s=x:p=0 "$1" 2>/dev/null || echo "?"; }
# CPU seconds (user + system, all threads) of a running process.
cpu_of() { awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat" 2>/dev/null || echo ""; }

# run_job NAME ARGS...: the main job for SECONDS_PER_RUN with a log, sampling its CPU time every
# 0.5 s (wall seconds since midnight and CPU seconds, to match the log's clock).
run_job() {
    local name="$1"
    shift
    local dir="$work/$name"
    mkdir -p "$dir"
    "$@" --log "$dir/log" --output "$dir/rec.mkv" >"$dir/status" 2>"$dir/stderr" &
    job_pid=$!
    while kill -0 "$job_pid" 2>/dev/null; do
        local c
        c="$(cpu_of "$job_pid")"
        [[ -n "$c" ]] && echo "$(date +%H:%M:%S.%N) $c" >>"$dir/cpu"
        sleep 0.5
    done
    wait "$job_pid" || echo "$name: the main job ended with status $?" >&2
    job_pid=""
}

# windows DIR: per cost window of the main job's log, "end_s tick_ms max_ms fps cpu_ms tier", the
# tier being "12fps" for a window the coordinator ran in its 12 fps tier.
windows() {
    local dir="$1"
    awk '
        function secs(t,   a) { split(t, a, ":"); return a[1] * 3600 + a[2] * 60 + a[3] }
        BEGIN { n = 0; w = 0 }
        FNR == NR { cpuT[n] = secs($1); cpuV[n] = $2; n++; next }
        /S214-107/ { degraded = /降級/ }
        /合成\+編碼/ {
            t = secs(substr($1, 2, 12))
            match($0, /平均 [0-9.]+ms/); avg = substr($0, RSTART + 7, RLENGTH - 9)
            match($0, /最大 [0-9.]+ms/); mx = substr($0, RSTART + 7, RLENGTH - 9)
            match($0, /（[0-9]+ tick/); ticks = substr($0, RSTART + 3, RLENGTH - 8) + 0
            c = ""; for (i = 0; i < n; i++) if (cpuT[i] <= t) c = cpuV[i]
            if (w == 0) { t0 = t - 5; c0 = cpuV[0]; start = cpuT[0] }
            fps = ticks / (t - (w == 0 ? t0 : tprev))
            cpu = (c != "" && ticks > 0) ? (c - (w == 0 ? c0 : cprev)) * 1000 / ticks : 0
            printf "%d %s %s %.1f %.1f %s\n", t - start, avg, mx, fps, cpu, degraded ? "12fps" : "-"
            tprev = t; cprev = c; w++
        }' "$dir/cpu" "$dir/log"
}

# replica SOURCE: the in-process replica's lines.
replica() {
    MIVODRELL_BENCH_STREAM_SOURCE="$1" MIVODRELL_BENCH_STREAM_SECONDS="$REPLICA_SECONDS" \
        MIVODRELL_BENCH_STREAM_PHONE="$PHONE" "$bench" --benchmark_filter='^BM_StreamReplica/' 2>&1 | grep '^stream-replica' || true
}

report() {
    local name="$1" dir="$work/$1" rep="$2"
    local frames decode_errors
    frames="$(ffmpeg -nostdin -v error -i "$dir/rec.mkv" -map 0:v -f null - 2>"$dir/decode" -progress - | awk -F= '/^frame=/ { f = $2 } END { print f + 0 }')" || frames=0
    decode_errors="$(wc -l <"$dir/decode")"
    echo
    echo "== $name: main job $SECONDS_PER_RUN s, phone $PHONE, output $(size_of "$dir/rec.mkv"); recording: $frames frames decoded by ffmpeg, $decode_errors ffmpeg messages"
    if ((decode_errors > 0)); then echo "   (first: $(head -1 "$dir/decode"))"; fi
    grep -E "frames encoded|video bitrate|keyframes  " "$dir/status" | sed 's/^/   /'
    printf "   %-9s %8s %8s %6s %9s %8s %s\n" window tick_ms max_ms fps cpu_ms psnr_dB tier
    windows "$dir" | while read -r start avg mx fps cpu tier; do
        local psnr
        psnr="$(awk -v s="$((start - 5))" '$2 == "window" && $3 == s && $11 > 0 { print $9 }' <<<"$rep")"
        printf "   %3d-%-3d s %8s %8s %6s %9s %8s %s\n" "$((start - 5))" "$start" "$avg" "$mx" "$fps" "$cpu" "${psnr:--}" "$tier"
    done
    windows "$dir" | awk -v rep="$rep" '
        { n++; if ($2 > 14) over++; if ($4 < 28) slow++; if ($6 != "-") tiered++; sum += $2 }
        END {
            printf "   goal 1: %d of %d windows above 14 ms, %d below 28 fps, %d dropped to the 12 fps tier; mean tick %.1f ms\n", over, n, slow, tiered, n ? sum / n : 0
        }'
    awk '$2 == "window" && $11 > 0 { if ($9 < 35) low++; s += $9; n++; c += $11; d += $13; f += $15 }
         END { if (n) printf "   PSNR (replica, %d windows, %d of %d frames compared, %d failed to decode): mean %.2f dB, %d windows below 35 dB\n", n, c, d, f, s / n, low }' <<<"$rep"
    awk -v tick="$(windows "$dir" | awk '{ s += $2; n++ } END { print n ? s / n : 0 }')" '$2 == "alone" {
            printf "   goal 3: stream tick %.2f ms / composite + encode alone on the same frames %.2f ms (composite %.2f + encode %.2f) = %.2f (goal <= 1.2)\n", tick, $8, $4, $6, ($8 > 0 ? tick / $8 : 0)
            printf "   goal 3: x265 in the session %.2f ms / bare x265, same settings and pictures %.2f ms = %.2f (goal <= 1.1); x265 in the replica stream %.2f ms\n", $10, $12, ($12 > 0 ? $10 / $12 : 0), $14
        }' <<<"$rep"
}

echo "stream goals: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(date -u +%FT%TZ)"
for source in $SOURCES; do
    case "$source" in
        x11)
            start_moving_screen "$SCREEN" 1920 1080
            sleep 1
            run_job x11 "$tool" --source x11 --display "$SCREEN" --seconds "$SECONDS_PER_RUN" --phone "$PHONE"
            rep="$(replica "x11:$SCREEN")"
            stop_moving_screen
            report x11 "$rep"
            ;;
        virtual)
            run_job virtual "$tool" --seconds "$SECONDS_PER_RUN" --phone "$PHONE"
            rep="$(replica virtual)"
            report virtual "$rep"
            ;;
        *) echo "unknown source $source (x11 or virtual)" >&2 ;;
    esac
done

if [[ -n "$TWO_CORES" ]]; then
    echo
    echo "== two cores ($TWO_CORES), x11 screen, main job $TWO_CORE_SECONDS s each (goal 4: figures only)"
    start_moving_screen "$SCREEN" 1920 1080
    sleep 1
    for phone in 1746x982 1164x654; do
        ( confine_cores "$TWO_CORES" "$tool" --source x11 --display "$SCREEN" --seconds "$TWO_CORE_SECONDS" --phone "$phone" \
            --log "$work/two-$phone.log" --output "$work/two-$phone.mkv" >"$work/two-$phone.status" 2>&1 ) &
        job_pid=$!
        sleep 3
        check_confined "$job_pid" "$TWO_CORES" 2>/dev/null || echo "   (the job escaped $TWO_CORES: figures not for two cores)"
        wait "$job_pid" || true
        job_pid=""
        awk -v phone="$phone" -v size="$(size_of "$work/two-$phone.mkv")" '
            /合成\+編碼/ { match($0, /平均 [0-9.]+ms/); v = substr($0, RSTART + 7, RLENGTH - 9); s += v; n++; if (v > mx) mx = v }
            END { printf "   phone %-9s output %-10s mean tick %.1f ms (worst window %.1f ms) over %d windows\n", phone, size, n ? s / n : 0, mx, n }' \
            "$work/two-$phone.log"
        grep -E "frames encoded" "$work/two-$phone.status" | sed 's/^/   /'
    done
    stop_moving_screen
fi

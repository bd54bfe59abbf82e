#!/usr/bin/env bash
# Runs the main job for a long while and samples its resources every INTERVAL seconds (10 by
# default): resident memory (VmRSS), open file descriptors and threads, read from /proc. At the
# end it prints the first, largest and last RSS, and the growth over the second half of the run
# (a leak keeps growing there; a pool that has settled does not), then the job's own summary.
# The allocator is left as it is; set MALLOC_* variables in the environment to compare.
#
# Usage: bench/soak.sh [BUILD_DIR] [tool arguments...]
#   default: build, --seconds 600 (the virtual source at the tool's defaults)
#   INTERVAL=5 bench/soak.sh build --seconds 120 --source x11 --display :1
# Exit status: the job's.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
shift || true
tool="$build_dir/tools/mivodrell-stream"
[ -x "$tool" ] || { echo "build the tool first: cmake --build $build_dir --target mivodrell-stream" >&2; exit 1; }
interval=${INTERVAL:-10}
args=("$@")
[ ${#args[@]} -gt 0 ] || args=(--seconds 600)

out=$(mktemp -d)
job=""
stop_job() {
    if [ -n "$job" ] && kill -0 "$job" 2>/dev/null; then
        kill -INT "$job" 2>/dev/null || true
        wait "$job" 2>/dev/null || true
    fi
    rm -rf "$out"
}
trap stop_job EXIT
trap 'exit 130' INT TERM

"$tool" "${args[@]}" --output "$out/soak.mkv" > "$out/summary" 2> "$out/errors" &
job=$!
start=$(date +%s)
printf '%8s %10s %6s %8s\n' "elapsed" "RSS MiB" "fds" "threads"
samples="$out/samples"
: > "$samples"
sample() {
    local rss threads fds now
    # Once the summary starts, the job is tearing down: its figures no longer show the run.
    ! grep -q '^summary' "$out/summary" 2>/dev/null || return 1
    [ -r "/proc/$job/status" ] || return 1
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$job/status" 2>/dev/null) || return 1
    threads=$(awk '/^Threads:/ { print $2 }' "/proc/$job/status" 2>/dev/null) || return 1
    fds=$(find "/proc/$job/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
    [ -n "$rss" ] || return 1
    now=$(($(date +%s) - start))
    printf '%7ss %10.1f %6d %8d\n' "$now" "$(echo "$rss / 1024" | bc -l)" "$fds" "$threads"
    echo "$now $rss $fds $threads" >> "$samples"
}
while kill -0 "$job" 2>/dev/null; do
    sleep "$interval" &
    wait $! || true
    sample || break
done
status=0
wait "$job" || status=$?
job=""

if [ -s "$samples" ]; then
    awk '{ t[NR] = $1; r[NR] = $2; if ($2 > max) max = $2 }
         END {
           half = int((NR + 1) / 2)
           printf "RSS MiB          first %.1f  max %.1f  last %.1f\n", r[1] / 1024, max / 1024, r[NR] / 1024
           if (NR > 2 && t[NR] > t[half])
             printf "second half      %+.1f MiB over %d s (%+.2f MiB/min)\n", (r[NR] - r[half]) / 1024, t[NR] - t[half],
                    (r[NR] - r[half]) / 1024 / (t[NR] - t[half]) * 60
         }' "$samples"
fi
sed -n '/^summary/,$p' "$out/summary"
[ "$status" -eq 0 ] || { echo "the job exited with status $status:" >&2; cat "$out/errors" >&2; }
exit "$status"

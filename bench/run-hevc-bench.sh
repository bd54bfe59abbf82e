#!/bin/bash
# Runs the HEVC encoder benchmark with every core and confined to two cores (properly, see
# confine.sh), several repetitions each, and checks while it runs that every thread stays on
# its cores. Usage: bench/run-hevc-bench.sh [build dir] [repetitions]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/confine.sh"
build="${1:-$here/../build}"
reps="${2:-3}"
bench="$build/bench/bench"
[[ -x "$bench" ]] || { echo "no benchmark binary at $bench" >&2; exit 1; }

for cpus in all 0-1; do
    echo "=== cores: $cpus"
    confine_cores "$cpus" "$bench" --benchmark_filter='HEVCEncoderEncode|X265UltrafastRaw|BGRAToI420|LibyuvARGB' \
        --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true &
    pid=$!
    if [[ "$cpus" != all ]]; then
        # The encoder threads exist once the first encoder is open.
        for _ in $(seq 1 60); do
            sleep 1
            [[ $(ls /proc/$pid/task 2>/dev/null | wc -l) -gt 4 ]] && break
        done
        if check_confined "$pid" "$cpus"; then
            echo "every thread of the benchmark is confined to $cpus"
        else
            echo "the benchmark escaped its cores; its figures are not for $cpus" >&2
        fi
    fi
    wait "$pid"
done

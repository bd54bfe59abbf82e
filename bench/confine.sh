#!/bin/bash
# Helpers for running a benchmark on fewer cores. Sourced by the bench scripts.
#
# `taskset` alone does not confine libx265: its pool threads re-pin themselves to every CPU of
# their NUMA node through libnuma. confine_cores builds a small preload that turns those libnuma
# calls into no-ops and runs the command under taskset with it; check_confined reads the allowed
# CPUs of every thread of a running process and fails when one of them may run elsewhere.

CONFINE_DIR="${CONFINE_DIR:-${TMPDIR:-/tmp}/mivodrell-confine}"
CONFINE_SRC="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/numa-affinity-noop.c"

build_numa_shim() {
    mkdir -p "$CONFINE_DIR"
    local shim="$CONFINE_DIR/numa-affinity-noop.so"
    if [[ ! -f "$shim" || "$CONFINE_SRC" -nt "$shim" ]]; then
        cc -shared -fPIC -O2 -o "$shim" "$CONFINE_SRC" || return 1
    fi
    echo "$shim"
}

# confine_cores CPULIST COMMAND...: becomes COMMAND on the CPUs of CPULIST, written the way the
# kernel lists them ("0-1"); "all" runs it as it is. It replaces the calling shell, so call it
# in the background or in a subshell: `confine_cores 0-1 cmd &` and $! is the command itself.
confine_cores() {
    local cpus="$1"
    shift
    if [[ "$cpus" == all ]]; then
        exec "$@"
    fi
    local shim
    shim="$(build_numa_shim)" || exit 1
    LD_PRELOAD="$shim${LD_PRELOAD:+:$LD_PRELOAD}" exec taskset -c "$cpus" "$@"
}

# check_confined PID CPULIST: every thread of PID may run only on CPULIST.
check_confined() {
    local pid="$1" want="$2" bad=0 task allowed
    for task in /proc/"$pid"/task/*; do
        allowed="$(awk '/^Cpus_allowed_list/ {print $2}' "$task/status" 2>/dev/null)" || continue
        [[ -z "$allowed" ]] && continue
        if [[ "$allowed" != "$want" ]]; then
            echo "thread ${task##*/} of $pid may run on $allowed, not $want" >&2
            bad=1
        fi
    done
    return $bad
}

/* Preloaded into a benchmark that is confined with `taskset`: libx265 moves each of its pool
 * threads onto every CPU of its NUMA node through libnuma, which undoes the confinement. These
 * two calls become no-ops, so the threads keep the affinity they inherited. Benchmark use only. */

struct bitmask;

int numa_run_on_node_mask(struct bitmask* mask) {
    (void)mask;
    return 0;
}

int numa_sched_setaffinity(int pid, struct bitmask* mask) {
    (void)pid;
    (void)mask;
    return 0;
}

#!/usr/bin/env bash
# Installs what is missing, builds the streaming tool and runs it; arguments go to the tool.
# Usage: scripts/run.sh [--seconds S] [--output FILE] [--source virtual|x11] ... (--help lists them)
# Relative --output and --log paths are taken from the folder the command was run in.
# Environment: BUILD_DIR (default build, inside the repository), JOBS (parallel build jobs,
# default: the number of CPUs).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

bash "$root/scripts/setup-deps.sh"

build_dir=${BUILD_DIR:-build}
case $build_dir in /*) ;; *) build_dir=$root/$build_dir ;; esac
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j "${JOBS:-$(nproc)}" --target mivodrell-stream
exec "$build_dir/tools/mivodrell-stream" "$@"

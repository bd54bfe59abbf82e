#!/usr/bin/env bash
# Installs what is missing, builds the streaming tool and runs it; arguments go to the tool.
# Usage: scripts/run.sh [--seconds S] [--output FILE] [--source virtual|x11] ... (--help lists them)
# Environment: BUILD_DIR (default build).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-deps.sh

build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target mivodrell-stream
exec "$build_dir/tools/mivodrell-stream" "$@"

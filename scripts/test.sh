#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the whole test suite.
# Usage: scripts/test.sh [extra ctest arguments]
# Environment: BUILD_DIR (default build), MIVODRELL_SANITIZE=ON for an ASan+UBSan build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-deps.sh

build_dir=${BUILD_DIR:-build}
sanitize=${MIVODRELL_SANITIZE:-OFF}
jobs=$(nproc)

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMIVODRELL_WERROR=ON -DMIVODRELL_SANITIZE="$sanitize" >/dev/null
cmake --build "$build_dir" -j "$jobs"
if [ "$sanitize" = "ON" ]; then
  export LSAN_OPTIONS="suppressions=$(pwd)/tests/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
fi
cd "$build_dir"
ctest --output-on-failure -j "$jobs" "$@"

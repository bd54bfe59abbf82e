#!/usr/bin/env bash
# The main job's cost as a whole process: runs the streaming tool for a while on the virtual
# source at 1080p (or the given arguments) and prints the frames per second it achieved and the
# process CPU time per encoded frame, from GNU time's accounting and the tool's own summary.
# Usage: bench/stream-tool.sh [BUILD_DIR] [tool arguments...]   (default: build, 10 s, 1920x1080)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
shift || true
tool="$build_dir/tools/mivodrell-stream"
[ -x "$tool" ] || { echo "build the tool first: cmake --build $build_dir --target mivodrell-stream" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs GNU time (apt-get install time)" >&2; exit 1; }
args=("$@")
[ ${#args[@]} -gt 0 ] || args=(--seconds 10 --phone 1920x1080)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
/usr/bin/time -f '%U %S %e' -o "$out/time" "$tool" "${args[@]}" --output "$out/stream.mkv" > "$out/summary"
read -r user sys wall < "$out/time"
frames=$(awk '/frames encoded/ { print $3 }' "$out/summary")
awk -v u="$user" -v s="$sys" -v w="$wall" -v f="$frames" 'BEGIN {
  printf "frames encoded   %d in %.1f s wall: %.1f fps\n", f, w, f / w
  printf "CPU per frame    %.1f ms (user %.1f s + sys %.1f s)\n", (u + s) * 1000 / (f > 0 ? f : 1), u, s
}'

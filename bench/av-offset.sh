#!/usr/bin/env bash
# Sound against picture in a recording of real capture: on a private Xvfb and PulseAudio, a probe
# plays 1 kHz beeps and turns the screen black or white at the moment each beep sounds, while the
# streaming tool records with --source x11 --audio. The recording is then decoded; for each beep
# it prints where the recording has the sound and the first frame showing the change, against
# the moment itself (the tool's log gives the host time of the recording's time 0), and the
# offset between sound and picture (positive: the sound comes late). Frames are stamped when
# they are composited, so the picture shows a change up to a capture interval plus a frame
# interval after it happened.
# Usage: bench/av-offset.sh [BUILD_DIR] [RUNS]   (default: build, 3 runs of 4 beeps)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-build}
case $build_dir in /*) ;; *) build_dir=$root/$build_dir ;; esac
runs=${2:-3}
tool="$build_dir/tools/mivodrell-stream"
[ -x "$tool" ] || { echo "build the tool first: cmake --build $build_dir --target mivodrell-stream" >&2; exit 1; }

work=$(mktemp -d)
xvfb_pid=""
pulse_pid=""
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  [ -n "$pulse_pid" ] && kill "$pulse_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck disable=SC2046
c++ -std=c++20 -O2 -o "$work/probe" "$root/bench/av-offset/AVOffsetProbe.cpp" \
  $(pkg-config --cflags --libs libavformat libavcodec libavutil libpulse-simple xcb)

# A private X server (it names its display once it accepts connections) and PulseAudio daemon.
exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 1280x720x24 -noreset -nolisten tcp 2>/dev/null &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"
export XDG_RUNTIME_DIR=$work/run HOME=$work PULSE_RUNTIME_PATH=$work/run/pulse
mkdir -m 700 "$XDG_RUNTIME_DIR"
export PULSE_SERVER="unix:$PULSE_RUNTIME_PATH/native"
pulseaudio --daemonize=yes --exit-idle-time=-1 -n --use-pid-file=yes --disable-shm=yes \
  --load="module-null-sink sink_name=null rate=48000 channels=2" --load=module-native-protocol-unix \
  --log-target=file:"$work/pa.log"
pulse_pid=$(cat "$PULSE_RUNTIME_PATH/pid")

echo "load: $(uptime | sed 's/.*load average/load average/')"
for run in $(seq "$runs"); do
  "$tool" --source x11 --audio --seconds 9 --viewport static --phone 640x360 --output "$work/av$run.mkv" \
    --log "$work/log$run.txt" > "$work/tool$run.txt" 2>&1 &
  tool_pid=$!
  sleep 1.5
  "$work/probe" play 2 3.5 5 6.5 > "$work/probe$run.txt"
  wait "$tool_pid" || { cat "$work/tool$run.txt"; exit 1; }
  origin=$(sed -nE 's/.*recording: time 0 is host time ([0-9.]+) s.*/\1/p' "$work/log$run.txt")
  echo "run $run:"
  # shellcheck disable=SC2046
  "$work/probe" measure "$work/av$run.mkv" "$origin" $(cat "$work/probe$run.txt") | sed 's/^/  /'
done

#!/usr/bin/env bash
# Installs every Debian package the project builds, tests, benchmarks and fuzzes with (clang and
# its sanitizer runtimes for the sanitizer and fuzz builds of scripts/test.sh).
# Idempotent: when everything is present it does nothing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  rapidjson-dev libutf8proc-dev libfmt-dev
  libx265-dev libavcodec-dev libavformat-dev libavutil-dev libswresample-dev libswscale-dev
  libyuv-dev libsndfile1-dev
  libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev libpulse-dev libxxhash-dev
  linux-libc-dev libturbojpeg0-dev
  xvfb x11-xserver-utils pulseaudio pulseaudio-utils
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  clang libclang-rt-dev llvm
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Takes the README's screenshots of the upgrade dialog under Xvfb: step 1, step 3 with the bar
# moving, success and error. Writes docs/screenshots/*.png.
# Usage: scripts/screenshots.sh [build-dir]   (default: build-ui; built if needed)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-ui}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target skelvo-ui-screenshots -j2

out=docs/screenshots
mkdir -p "$out"

# A display number nobody uses.
display=99
while [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ]; do
  display=$((display + 1))
done

Xvfb ":$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  [ -e "/tmp/.X11-unix/X${display}" ] && break
  sleep 0.1
done

DISPLAY=":$display" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR=$(mktemp -d) \
  "$build/tests/ui/skelvo-ui-screenshots" "$out"
ls -l "$out"

#!/usr/bin/env bash
# Takes the README's screenshots of both dialogs under Xvfb, into docs/screenshots/:
#  - Qt: step 1, step 3 with the bar moving, success, error and Advanced Options on an 800x600
#    screen, and step 1 at 200% on a 1024x768 screen;
#  - Win32, under Wine: step 1, Advanced Options, and step 1 at 200% (tests/win/screenshot.sh).
# Usage: scripts/screenshots.sh [qt-build-dir] [windows-build-dir]
#   (defaults: build-ui and build-win, each configured and built if needed)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-ui}
winbuild=${2:-build-win}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target skelvo-ui-screenshots -j2
if [ ! -f "$winbuild/build.ninja" ]; then
  cmake -S . -B "$winbuild" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake"
fi
cmake --build "$winbuild" --target skelvo -j2

out=docs/screenshots
mkdir -p "$out"
tool="$build/tests/ui/skelvo-ui-screenshots"

# Runs a command on a private X server of the given screen size.
on_xvfb() {
  local size=$1
  shift
  local display=99
  while [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ]; do
    display=$((display + 1))
  done
  Xvfb ":$display" -screen 0 "${size}x24" -nolisten tcp >/dev/null 2>&1 &
  local xvfb=$!
  for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X${display}" ] && break
    sleep 0.1
  done
  local status=0
  DISPLAY=":$display" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR=$(mktemp -d) "$@" || status=$?
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  return $status
}

on_xvfb 800x600 "$tool" "$out"
on_xvfb 1024x768 env QT_SCALE_FACTOR=2 "$tool" "$out" --step1-only step1-input-200.png
bash tests/win/screenshot.sh "$winbuild/ui/win32/skelvo.exe" "$PWD/$winbuild/wineprefix-shot" "$out"
ls -l "$out"

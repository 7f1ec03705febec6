#!/usr/bin/env bash
# Takes screenshots of skelvo.exe under Wine on virtual X servers, into <output folder>:
#   win32-step1.png      the main dialog as it opens, at 100 %
#   win32-advanced.png   Advanced Options, opened by keys (Tab to "Advanced...", then Space)
#   win32-step1-200.png  the main dialog at 200 % on a 1024 x 768 screen
# Wine's own desktop window draws the dialogs' frames, as there is no window manager. The 200 %
# shot needs a prefix of its own: <wine prefix>-200. Needs xvfb-run, ImageMagick's import and
# xdotool. SKELVO_SCREENSHOT_WAIT sets the seconds given to Wine to draw (default 15).
# Usage: screenshot.sh <skelvo.exe> <wine prefix> <output folder>
set -euo pipefail
exe=$1 prefix=$2 out=$3
here=$(cd "$(dirname "$0")" && pwd)
wait=${SKELVO_SCREENSHOT_WAIT:-15}
if [ -z "${SKELVO_IN_XVFB:-}" ]; then
  mkdir -p "$out"
  # Made without a display, the prefixes show no "being updated" window in the pictures.
  DISPLAY= "$here/wine-run.sh" "$prefix" cmd /c exit
  DISPLAY= SKELVO_WINE_DPI=192 "$here/wine-run.sh" "$prefix-200" cmd /c exit
  SKELVO_IN_XVFB=100 xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
  SKELVO_IN_XVFB=200 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

if [ "$SKELVO_IN_XVFB" = 100 ]; then
  size=640x560 run_prefix=$prefix
else
  size=1024x768 run_prefix=$prefix-200
fi
SKELVO_WINE_DPI=$([ "$SKELVO_IN_XVFB" = 200 ] && echo 192 || true) \
  "$here/wine-run.sh" "$run_prefix" explorer "/desktop=skelvo,$size" "$exe" >/dev/null 2>&1 &
app=$!
sleep "$wait"
if [ "$SKELVO_IN_XVFB" = 100 ]; then
  import -window root -crop "$size+0+0" +repage "$out/win32-step1.png"
  # The focus starts in the address box; the tab order then runs through the login and the
  # password to "Advanced...".
  xdotool mousemove 10 10 key Tab Tab Tab space
  sleep 5
  import -window root -crop "$size+0+0" +repage "$out/win32-advanced.png"
else
  import -window root -crop "$size+0+0" +repage "$out/win32-step1-200.png"
fi
WINEPREFIX=$run_prefix wineserver -k 2>/dev/null || true
wait "$app" 2>/dev/null || true

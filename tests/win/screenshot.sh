#!/usr/bin/env bash
# Takes a screenshot of skelvo.exe under Wine on a virtual X server. Wine's own desktop window
# draws the dialog's frame and caption, as there is no window manager.
# Usage: screenshot.sh <skelvo.exe> <wine prefix> <output.png>
set -euo pipefail
exe=$1 prefix=$2 out=$3
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${SKELVO_IN_XVFB:-}" ]; then
  # Made without a display, the prefix shows no "being updated" window in the picture.
  DISPLAY= "$here/wine-run.sh" "$prefix" cmd /c exit
  SKELVO_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
fi
"$here/wine-run.sh" "$prefix" explorer /desktop=skelvo,640x560 "$exe" >/dev/null 2>&1 &
app=$!
sleep "${SKELVO_SCREENSHOT_WAIT:-15}"
import -window root -crop 640x560+0+0 +repage "$out"
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
wait "$app" 2>/dev/null || true

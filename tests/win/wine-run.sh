#!/usr/bin/env bash
# Runs one Windows executable under Wine: wine-run.sh <wine prefix dir> <program.exe> [args...]
# The prefix is private to the build directory and made on first use; a lock keeps parallel
# ctest jobs from creating it twice.
# SKELVO_WINE_DPI=<dots per inch> sets the prefix's screen resolution (96 is 100 %, 192 is 200 %).
# It is a setting of the whole prefix: give each resolution a prefix of its own.
set -euo pipefail
prefix=$1; shift
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wine=$(command -v wine || command -v wine64)
# The virtual X servers have no window manager, and Wine waits up to two seconds for one each
# time it hides a window it has left to a manager. Unmanaged windows are hidden at once, and
# Wine draws their frames itself, as Windows does.
unmanaged() { grep -qs '^"Managed"="N"' "$prefix/user.reg"; }
dpi=${SKELVO_WINE_DPI:-}
dpi_set() { [ -z "$dpi" ] || grep -qs "^\"LogPixels\"=dword:$(printf %08x "$dpi")" "$prefix/user.reg"; }
if [ ! -f "$prefix/system.reg" ] || ! unmanaged || ! dpi_set; then
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    "$wine" wineboot -i >/dev/null 2>&1 || true
    wineserver -w 2>/dev/null || true
  fi
  if ! unmanaged; then
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
    wineserver -w 2>/dev/null || true
  fi
  if ! dpi_set; then
    "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1 || true
    wineserver -w 2>/dev/null || true
  fi
  flock -u 9
  exec 9>&-
fi
# Wine's background services (started with the first program of a prefix) outlive it and
# inherit its output, so whoever reads that output through a pipe, ctest among them, would wait
# for them too. The program writes into files instead, which are passed on once it has ended.
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
status=0
"$wine" "$@" >"$out" 2>"$err" || status=$?
cat "$out"
cat "$err" >&2
exit "$status"

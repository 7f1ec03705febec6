#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) over the tracked core, upgrade flow, simulator and command-line sources,
# with the compile commands of a build directory (default build-tidy, configured here if missing).
#   scripts/tidy.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-tidy}
if [ ! -f "$build/compile_commands.json" ]; then
  CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSKELVO_BUILD_GUI=OFF >/dev/null
fi
# The generated image modules must exist for the sources that include their headers.
cmake --build "$build" --target skelvo_images >/dev/null
# Tracked sources that this platform compiles (the Winsock backend is not in a Linux build).
mapfile -t files < <(python3 - "$build/compile_commands.json" <<'PY'
import json, os, subprocess, sys
tracked = set(subprocess.run(["git", "ls-files", "engine", "net", "tftp", "http", "upgrade", "devsim", "cli"],
                             capture_output=True, text=True).stdout.split())
for entry in json.load(open(sys.argv[1])):
    rel = os.path.relpath(entry["file"], os.getcwd())
    if rel in tracked and rel.endswith(".cpp"):
        print(entry["file"])
PY
)
echo "clang-tidy over ${#files[@]} files"
log=$(mktemp)
run-clang-tidy-14 -quiet -p "$build" -j "$(nproc)" "${files[@]}" 2>&1 | sed "s/\x1b\[[0-9;]*m//g" >"$log" || true
grep -v -e '^[0-9]* warnings\? generated' -e '^Suppressed' -e 'Use -header-filter' -e '^clang-tidy-14 ' \
  -e 'NOLINT' -e '^$' "$log" || true
if grep -q -e ': error: ' -e ': warning: ' "$log"; then
  rm -f "$log"
  echo "clang-tidy: findings above" >&2
  exit 1
fi
rm -f "$log"
echo "clang-tidy: clean"

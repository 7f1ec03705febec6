#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds Skelvo twice (plain, then with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
run_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600)
}

export QT_QPA_PLATFORM=offscreen
echo "== plain build =="
run_build build-ci -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKELVO_WERROR=ON
echo "== ASan + UBSan build =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_build build-asan -DCMAKE_BUILD_TYPE=Debug -DSKELVO_SANITIZE=ON -DSKELVO_WERROR=ON
echo "== Windows build (mingw-w64), tests under Wine =="
run_build build-ci-win -DCMAKE_BUILD_TYPE=Release -DSKELVO_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake"

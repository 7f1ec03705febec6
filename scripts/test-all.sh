#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds Skelvo twice (plain, then with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test in both builds, then the Windows build under
# Wine and the quality stages. The last stage builds the release and installs each artefact; it
# installs the Debian packages on this machine and removes them again.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
run_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600 ${skip_labels:+-LE "$skip_labels"})
}

export QT_QPA_PLATFORM=offscreen
echo "== plain build =="
run_build build-ci -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKELVO_WERROR=ON
echo "== ASan + UBSan build (without the soak, label soak: a hundred upgrades) =="
skip_labels=soak ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_build build-asan -DCMAKE_BUILD_TYPE=Debug -DSKELVO_SANITIZE=ON -DSKELVO_WERROR=ON
echo "== Windows build (mingw-w64), tests under Wine =="
run_build build-ci-win -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKELVO_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake"

# Quality stages: static checks, the threaded tests under ThreadSanitizer, a fuzz smoke run.
stage_start=$SECONDS
echo "== clang-format and clang-tidy =="
bash scripts/check-format.sh
bash scripts/tidy.sh build-ci-tidy
echo "(static checks: $((SECONDS - stage_start)) s)"
stage_start=$SECONDS
echo "== ThreadSanitizer build: worker and front-end tests (labels tftp, http, upgrade, e2e, ui) =="
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSKELVO_TSAN=ON -DSKELVO_WERROR=ON
cmake --build build-tsan -j "$jobs"
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/../scripts/tsan.supp" \
  ctest --output-on-failure -j "$jobs" --timeout 600 -L 'tftp|http|upgrade|e2e|ui')
echo "(ThreadSanitizer: $((SECONDS - stage_start)) s)"
stage_start=$SECONDS
echo "== libFuzzer smoke: each target for 20 s =="
CC=clang-14 CXX=clang++-14 cmake -S . -B build-ci-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSKELVO_BUILD_GUI=OFF -DSKELVO_SANITIZE=ON -DSKELVO_BUILD_FUZZ=ON
cmake --build build-ci-fuzz -j "$jobs" --target fuzz_all
bash fuzz/run-fuzz.sh build-ci-fuzz 20 "$jobs"
echo "(fuzz smoke: $((SECONDS - stage_start)) s)"
stage_start=$SECONDS
echo "== Release: scripts/release.sh into dist/, then each artefact installed and exercised =="
SKELVO_RELEASE_JOBS=$jobs bash scripts/release.sh
bash tests/release/run.sh dist
echo "(release: $((SECONDS - stage_start)) s)"

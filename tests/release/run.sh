#!/usr/bin/env bash
# Installs and exercises each artefact that scripts/release.sh left in dist/: the Debian
# packages, the Windows zip and installer under Wine, and the Ansible collection.
# Usage: tests/release/run.sh [dist folder]   (as root; default dist)
set -euo pipefail
cd "$(dirname "$0")/../.."
dist=${1:-dist}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-release/CMakeCache.txt)
[ -n "$version" ] || { echo "release checks: no build-release/ (run scripts/release.sh first)" >&2; exit 1; }
devsim=$PWD/build-release/devsim/skelvo-devsim
cli=$PWD/build-release/cli/skelvo-cli

failed=()
check() {
  local name=$1 status=0 start=$SECONDS
  shift
  echo "== release check: $name =="
  "$@" || status=$?
  case $status in
    0) echo "($name: passed in $((SECONDS - start)) s)" ;;
    77) echo "($name: skipped)" ;;
    *) echo "($name: FAILED, exit $status, after $((SECONDS - start)) s)"; failed+=("$name") ;;
  esac
}
check "Debian packages" bash tests/release/check-deb.sh "$dist" "$version"
check "Windows zip and installer" bash tests/release/check-windows.sh "$dist" "$version" "$devsim" build-release-win/release-check
check "Ansible collection" bash tests/release/check-collection.sh "$dist" "$version" "$cli" "$devsim"
ls -l "$dist"
[ ${#failed[@]} -eq 0 ] || { echo "release checks failed: ${failed[*]}" >&2; exit 1; }

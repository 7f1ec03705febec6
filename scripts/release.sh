#!/usr/bin/env bash
# Builds the release of the project's version into dist/:
#   skelvo-cli_VERSION_amd64.deb   skelvo-cli and skelvo-devsim, without Qt
#   skelvo_VERSION_amd64.deb       the Qt dialog
#   skelvo-VERSION-windows-x64.zip and skelvo-VERSION-windows-x64.exe (NSIS installer)
#   skelvo-firmware-VERSION.tar.gz the Ansible collection
#   SHA256SUMS
# The build trees are build-release (Linux) and build-release-win (MinGW), of the build type that
# CI tests (RelWithDebInfo), stripped when packed; lintian checks the Debian packages. Run as root on a fresh Debian 12 machine, it first installs what it needs.
# SKELVO_RELEASE_JOBS sets the build's parallel jobs (default: the number of cores), and
# SKELVO_PACKAGE_MAINTAINER ("Name <address>") the Debian packages' maintainer.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ "$(id -u)" -eq 0 ]; then
  bash scripts/install-deps.sh
fi
jobs=${SKELVO_RELEASE_JOBS:-$(nproc)}

# Debian's hardening flags (read-only relocations, fortified functions, stack protector); the
# build folder is mapped away so the binaries do not name it.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cflags=$(dpkg-buildflags --get CFLAGS)
cxxflags=$(dpkg-buildflags --get CXXFLAGS)
ldflags=$(dpkg-buildflags --get LDFLAGS)
cppflags=$(dpkg-buildflags --get CPPFLAGS)

echo "== release: Linux build (build-release) =="
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKELVO_BUILD_TESTS=OFF \
  -DCMAKE_C_FLAGS="$cppflags $cflags" -DCMAKE_CXX_FLAGS="$cppflags $cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DSKELVO_MAN_PAGES=ON \
  ${SKELVO_PACKAGE_MAINTAINER:+"-DSKELVO_PACKAGE_MAINTAINER=$SKELVO_PACKAGE_MAINTAINER"}
rm -rf build-release/packages
cmake --build build-release -j "$jobs"

echo "== release: Windows build (build-release-win) =="
cmake -S . -B build-release-win -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKELVO_BUILD_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
rm -rf build-release-win/packages
cmake --build build-release-win -j "$jobs"

echo "== release: packages =="
(cd build-release && cpack --config CPackConfig.cmake)
(cd build-release-win && cpack --config CPackConfig.cmake)
cmake --build build-release --target skelvo-collection
rm -rf dist
mkdir -p dist
cp build-release/packages/*.deb build-release-win/packages/*.zip build-release-win/packages/*.exe \
  build-release/packages/*.tar.gz dist/

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-release/CMakeCache.txt)
expected=(
  "skelvo-cli_${version}_amd64.deb" "skelvo_${version}_amd64.deb"
  "skelvo-${version}-windows-x64.zip" "skelvo-${version}-windows-x64.exe"
  "skelvo-firmware-${version}.tar.gz"
)
for f in "${expected[@]}"; do
  [ -s "dist/$f" ] || { echo "release: dist/$f was not made" >&2; ls -l dist >&2; exit 1; }
done
[ "$(ls dist | wc -l)" -eq "${#expected[@]}" ] || { echo "release: unexpected files in dist/" >&2; ls -l dist >&2; exit 1; }

echo "== release: lintian =="
# Errors fail the release; warnings are shown.
lintian --fail-on error --tag-display-limit 0 dist/*.deb

(cd dist && sha256sum "${expected[@]}" > SHA256SUMS)
echo "== release: dist/ (version $version) =="
ls -l dist

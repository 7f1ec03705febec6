#!/usr/bin/env bash
# Installs what building and testing Skelvo needs on Debian 12. Safe to run again.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang-14 libclang-rt-14-dev clang-format python3 ansible-core
  clang-format-14 clang-tidy-14 bc
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
  qt6-base-dev xvfb xauth imagemagick xdotool
  curl tftp-hpa atftp tftpd-hpa dnsmasq-base iproute2 procps gnuplot-nox
  mingw-w64 wine wine64 googletest
  nsis help2man lintian fakeroot dpkg-dev file libcap2-bin zip unzip desktop-file-utils man-db bsdextrautils bash-completion
  # Boot loaders as TFTP clients: U-Boot (qemu_arm64), iPXE and GRUB's PXE image under QEMU, with
  # nftables for loss inside a test's own network namespace.
  u-boot-qemu qemu-system-arm qemu-system-x86 ipxe-qemu seabios grub-pc-bin grub-common nftables busybox
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: need root to install: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  # Keep package scripts from starting daemons (tftpd-hpa would take UDP port 69). Exit 101 tells
  # invoke-rc.d and deb-systemd-invoke that no service may be started. A policy of the
  # machine's own is put back afterwards; services already running are never touched.
  policy=/usr/sbin/policy-rc.d
  saved=""
  if [ -e "$policy" ]; then
    saved=$(mktemp)
    cp -p "$policy" "$saved"
  fi
  restore_policy() {
    if [ -n "$saved" ]; then mv -f "$saved" "$policy"; else rm -f "$policy"; fi
  }
  trap restore_policy EXIT
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod +x "$policy"
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# atftpd conflicts with tftpd-hpa as a package, so its server binary is unpacked beside the
# system instead of being installed.
if [ ! -x /opt/skelvo-peers/atftpd/usr/sbin/atftpd ]; then
  if [ "$(id -u)" -eq 0 ]; then
    tmp=$(mktemp -d)
    (cd "$tmp" && apt-get download atftpd >/dev/null 2>&1) || { apt-get update -qq && (cd "$tmp" && apt-get download atftpd); }
    mkdir -p /opt/skelvo-peers/atftpd
    dpkg -x "$tmp"/atftpd_*.deb /opt/skelvo-peers/atftpd
    rm -rf "$tmp"
  else
    echo "install-deps: atftpd not unpacked (needs root); tests that use it will be skipped" >&2
  fi
fi


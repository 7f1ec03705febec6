#!/usr/bin/env bash
# The bootloader table (bench/bootloader_bench.py): U-Boot under QEMU, in a network namespace of
# its own, fetching from skelvo-cli serve, dnsmasq and tftpd-hpa; then curl and atftp with
# blksize 1468. Needs root, qemu-system-aarch64, u-boot-qemu and nftables.
#   bench/bootloader-bench.sh [BUILD_DIR] [--rounds N] [--loss-rounds N] [--timeout S]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build-q"
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then build=$(cd "$1" && pwd); shift; fi
exec python3 "$here/bench/bootloader_bench.py" --cli "$build/cli/skelvo-cli" "$@"

#!/usr/bin/env bash
# Sets up and builds Skelvo, starts the device simulator on a loopback address and upgrades it
# with skelvo-cli, so that all five steps can be watched. Cleans up the simulator afterwards.
# Run as root on Debian 12 (root installs the packages; building and running need no root).
set -euo pipefail

cd "$(dirname "$0")/.."
root=$PWD
build=${SKELVO_DEMO_BUILD:-$root/build}
address=${SKELVO_DEMO_ADDRESS:-127.0.0.2}
model=${SKELVO_DEMO_MODEL:-tolva22}
tftp_port=${SKELVO_DEMO_TFTP_PORT:-16969}

if [ "$(id -u)" -eq 0 ] || ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  bash scripts/install-deps.sh
fi

echo "== building skelvo-cli and skelvo-devsim in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target skelvo-cli skelvo-devsim

work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

echo "== starting the simulated $model on $address (its TFTP client asks port $tftp_port)"
"$build/devsim/skelvo-devsim" --model "$model" --address "$address" --http-port 0 \
  --tftp-port "$tftp_port" --erase-seconds 3 --reboot-seconds 3 \
  --ready-file "$work/ready" --report "$work/report.json" >"$work/devsim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 1 100); do
  [ -s "$work/ready" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/devsim.log" >&2; exit 1; }
  sleep 0.1
done
[ -s "$work/ready" ] || { echo "demo: the simulator did not start" >&2; exit 1; }
http_port=$(sed -n 's/.*:\([0-9]*\)$/\1/p' "$work/ready")

cli="$build/cli/skelvo-cli"
echo
echo "== $cli probe $address"
"$cli" probe "$address" --http-port "$http_port"
echo
echo "== $cli upgrade $address --yes --verify-reboot"
status=0
# The simulator is gone when the demo ends: its journal goes with it, not into the user's own.
"$cli" upgrade "$address" --http-port "$http_port" --tftp-port "$tftp_port" --yes --verify-reboot=60 \
  --journal "$work/journal.jsonl" || status=$?
echo
echo "== $cli probe $address (after the upgrade)"
"$cli" probe "$address" --http-port "$http_port" || true
echo
if [ "$status" -eq 0 ]; then
  echo "demo: upgrade complete"
else
  echo "demo: the upgrade ended with exit code $status (see 'skelvo-cli upgrade --help')" >&2
fi
exit "$status"

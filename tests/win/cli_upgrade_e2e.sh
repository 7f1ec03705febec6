#!/usr/bin/env bash
# A whole upgrade across the two platforms: skelvo-cli.exe runs under Wine and upgrades
# skelvo-devsim, a Linux process, over loopback, with its own ports (never 69 or 80).
# Usage: cli_upgrade_e2e.sh <skelvo-devsim> <skelvo-cli.exe> <wine prefix> <wine-run.sh> <model>
# Exits 77 (skipped) when no Linux skelvo-devsim is at hand.
set -euo pipefail
devsim=$1 cli=$2 prefix=$3 wine_run=$4 model=${5:-tolva22}
if [ ! -x "$devsim" ]; then
  echo "skipped: no Linux skelvo-devsim at '$devsim' (configure with -DSKELVO_HOST_DEVSIM=...)"
  exit 77
fi
tmp=$(mktemp -d)
sim=
cleanup() {
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

# A UDP port that is free now; the server binds it moments later.
tftp_port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$devsim" --model "$model" --address 127.0.0.1 --http-port 0 --tftp-port "$tftp_port" \
  --erase-seconds 1 --reboot-seconds 1 --once --ready-file "$tmp/ready" --report "$tmp/report.json" \
  >"$tmp/devsim.log" 2>&1 &
sim=$!
for _ in $(seq 1 200); do
  [ -s "$tmp/ready" ] && break
  sleep 0.1
done
[ -s "$tmp/ready" ] || { echo "skelvo-devsim did not start"; cat "$tmp/devsim.log"; exit 1; }
http_port=$(sed 's/.*://' "$tmp/ready")

# Each run keeps a journal of its own: the prefix's default one is shared by every run in it,
# and a run would refuse a device at the same address that another run has left half-way.
status=0
"$wine_run" "$prefix" "$cli" upgrade 127.0.0.1 --yes --trace \
  --http-port "$http_port" --tftp-port "$tftp_port" --fetch-timeout 60 --idle-timeout 60 \
  --journal "Z:$tmp/journal.jsonl" >"$tmp/cli.log" 2>&1 </dev/null || status=$?
# A simulator that was never served waits for its upgrade for ever.
if [ "$status" -ne 0 ]; then kill "$sim" 2>/dev/null || true; fi
sim_status=0
for _ in $(seq 1 300); do
  kill -0 "$sim" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$sim" 2>/dev/null; then
  echo "skelvo-devsim had not ended 30 s after the upgrade"
  kill "$sim" 2>/dev/null || true
fi
wait "$sim" || sim_status=$?
sim=
echo "--- skelvo-cli.exe (exit $status)"; cat "$tmp/cli.log"
echo "--- skelvo-devsim (exit $sim_status)"; cat "$tmp/devsim.log"
[ "$status" -eq 0 ] || { echo "FAIL: skelvo-cli.exe upgrade exited $status"; exit 1; }
[ "$sim_status" -eq 0 ] || { echo "FAIL: the simulated device did not complete its upgrade"; exit 1; }
grep -q "Server is programming the new firmware image." "$tmp/cli.log" ||
  { echo "FAIL: no second pass in the trace"; exit 1; }
grep -q '"state":"end","result":"complete"' "$tmp/journal.jsonl" ||
  { echo "FAIL: the run's own journal does not end the device complete"; cat "$tmp/journal.jsonl"; exit 1; }
echo "PASS"

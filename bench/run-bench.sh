#!/usr/bin/env bash
# TFTP benchmarks of `skelvo-cli serve` against real servers, over loopback, printing tables.
#   bench/run-bench.sh [BUILD_DIR] [--rounds N] [--loss-runs N] [--image-runs N]
#                      [--fleet-sizes "1 10 100 300 1000"] [--erase-seconds S] [--plot FILE]
#                      [--only throughput|cpu|loss|loss-image|fleet|bootloader] [--fleet-no-peers]
# BUILD_DIR (default build-q) must hold skelvo-cli, skelvo-devsim, skelvo-bench-pingpong and
# skelvo-bench-lossy-fetch (the fleet runs need only the first two). Needs root: dnsmasq's TFTP
# server has no port option, so the throughput and fleet runs happen inside a network namespace
# of their own, where it can take port 69. The fleet run draws its figures into --plot (default
# docs/fleet-scaling.png, with gnuplot).
# Peers: tftpd-hpa (in.tftpd), atftpd, dnsmasq; clients: curl and tftp-hpa.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build-q"
rounds=5
loss_runs=100
image_runs=5
fleet_sizes="1 10 100 300 1000"
erase_seconds=3
plot="$here/docs/fleet-scaling.png"
only=""
fleet_peers=1
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --loss-runs) loss_runs=$2; shift 2 ;;
    --image-runs) image_runs=$2; shift 2 ;;
    --fleet-sizes) fleet_sizes=$2; shift 2 ;;
    --erase-seconds) erase_seconds=$2; shift 2 ;;
    --plot) plot=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    --only) only=$2; shift 2 ;;
    --fleet-no-peers) fleet_peers=0; shift ;;
    *) build=$(cd "$1" && pwd); shift ;;
  esac
done
cli="$build/cli/skelvo-cli"
devsim="$build/devsim/skelvo-devsim"
pingpong="$build/bench/skelvo-bench-pingpong"
lossy="$build/bench/skelvo-bench-lossy-fetch"
atftpd=/opt/skelvo-peers/atftpd/usr/sbin/atftpd
[ -x "$atftpd" ] || atftpd=$(command -v atftpd || true)

if [ -z "${SKELVO_BENCH_NS:-}" ] && { [ -z "$only" ] || [ "$only" = throughput ] || [ "$only" = fleet ]; }; then
  ns="skelvo-bench-$$"
  trap 'ip netns del "$ns" 2>/dev/null' EXIT
  # A non-loopback address too: tftpd-hpa resolves its bind address with AI_ADDRCONFIG.
  ip netns add "$ns" && ip -n "$ns" link set lo up && ip -n "$ns" addr add 10.254.0.1/32 dev lo || { echo "cannot create a network namespace" >&2; exit 1; }
  for part in throughput fleet; do
    if [ -z "$only" ] || [ "$only" = "$part" ]; then
      ip netns exec "$ns" env SKELVO_BENCH_NS="$ns" bash "$0" "$build" --rounds "$rounds" \
        --fleet-sizes "$fleet_sizes" --erase-seconds "$erase_seconds" --plot "$plot" --only "$part" \
        $([ "$fleet_peers" = 1 ] || echo --fleet-no-peers)
    fi
  done
  ip netns del "$ns"
  trap - EXIT
  [ -n "$only" ] && exit 0
  exec bash "$0" "$build" --rounds "$rounds" --loss-runs "$loss_runs" --image-runs "$image_runs" --only rest
fi

work=$(mktemp -d /tmp/skelvo-bench-XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

free_udp_port() {
  python3 -c 'import socket;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);s.bind(("127.0.0.1",0));print(s.getsockname()[1])'
}
now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {if (NR==0) print "nan"; else if (NR%2) printf "%.3f\n", a[(NR+1)/2]; else printf "%.3f\n", (a[NR/2]+a[NR/2+1])/2}'; }

# Waits until something listens on the UDP port (our own bind fails).
wait_bound() {
  python3 - "$1" <<'PY'
import socket, sys, time
port = int(sys.argv[1]); end = time.time() + 10
while time.time() < end:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind(("127.0.0.1", port)); s.close(); time.sleep(0.02)
    except OSError:
        sys.exit(0)
sys.exit(1)
PY
}

fetch() { # client port out
  case $1 in
    curl) curl -s -o "$3" "tftp://127.0.0.1:$2/image" ;;
    tftp-hpa) tftp 127.0.0.1 "$2" -m binary -c get image "$3" >/dev/null ;;
  esac
}

# Two downloads of "image" by one client, in seconds; "fail" if either is not byte-identical.
two_downloads() { # client port expected
  local t0 t1
  t0=$(now)
  for pass in 1 2; do
    rm -f "$work/got"
    fetch "$1" "$2" "$work/got" && cmp -s "$work/got" "$3" || { echo fail; return; }
  done
  t1=$(now)
  echo "$t1 - $t0" | bc -l
}

# Serves file as "image" from tftpd-hpa, atftpd and dnsmasq (port 69) on 127.0.0.1, and waits
# until they listen. Sets the caller's p_hpa and p_at (ports) and pid_hpa, pid_at and pid_dm.
# The limits are raised above the largest fleet: atftpd serves 100 threads and dnsmasq 50
# transfers at once by default, and would turn clients away.
start_peers() { # file
  for peer in tftpd-hpa atftpd dnsmasq; do
    mkdir -p "$work/root-$peer"; chmod 755 "$work/root-$peer"
    cp "$1" "$work/root-$peer/image"; chmod 644 "$work/root-$peer/image"
  done
  p_hpa=$(free_udp_port); p_at=$(free_udp_port)
  /usr/sbin/in.tftpd -L -a "127.0.0.1:$p_hpa" -u nobody -s "$work/root-tftpd-hpa" & pid_hpa=$!
  "$atftpd" --daemon --no-fork --port "$p_at" --bind-address 127.0.0.1 --user nobody.nogroup \
    --maxthread 1000 --logfile /dev/null "$work/root-atftpd" & pid_at=$!
  dnsmasq -k --conf-file=/dev/null --port=0 --enable-tftp --tftp-root="$work/root-dnsmasq" --tftp-max=1000 \
    --listen-address=127.0.0.1 --bind-interfaces --quiet-tftp --pid-file= --log-facility=/dev/null & pid_dm=$!
  pids+=("$pid_hpa" "$pid_at" "$pid_dm")
  wait_bound "$p_hpa"; wait_bound "$p_at"; wait_bound 69
}

run_throughput() {
  cp "$build/engine/images/tolva22.bin" "$work/img-755k"
  head -c $((16 * 1024 * 1024)) /dev/urandom >"$work/img-16m"
  echo "== Throughput: two downloads of one image over loopback (median of $rounds interleaved rounds, seconds) =="
  printf '%-10s %-9s %-10s %10s %10s %10s\n' image client server median ratio MB/s
  for img in 755k 16m; do
    local file="$work/img-$img"
    local size
    size=$(stat -c %s "$file")
    local p_hpa p_at pid_hpa pid_at pid_dm
    start_peers "$file"
    declare -A samples=()
    for client in curl tftp-hpa; do
      for ((r = 0; r < rounds; r++)); do
        for server in skelvo tftpd-hpa atftpd dnsmasq; do
          local port t
          case $server in
            skelvo)
              port=$(free_udp_port)
              "$cli" serve --image "$file" --port "$port" 2>/dev/null & local sp=$!
              wait_bound "$port"
              t=$(two_downloads "$client" "$port" "$file")
              wait "$sp" 2>/dev/null ;;
            tftpd-hpa) t=$(two_downloads "$client" "$p_hpa" "$file") ;;
            atftpd) t=$(two_downloads "$client" "$p_at" "$file") ;;
            dnsmasq) t=$(two_downloads "$client" 69 "$file") ;;
          esac
          samples[$client/$server]+="$t "
        done
      done
      local best=""
      declare -A med=()
      for server in skelvo tftpd-hpa atftpd dnsmasq; do
        med[$server]=$(echo "${samples[$client/$server]}" | tr ' ' '\n' | grep -v '^$' | grep -v fail | median)
        if [ "$server" != skelvo ] && [ "${med[$server]}" != nan ]; then
          if [ -z "$best" ] || (( $(echo "${med[$server]} < $best" | bc -l) )); then best=${med[$server]}; fi
        fi
      done
      for server in skelvo tftpd-hpa atftpd dnsmasq; do
        local m=${med[$server]} fails
        fails=$(echo "${samples[$client/$server]}" | grep -o fail | wc -l)
        printf '%-10s %-9s %-10s %10s %10s %10s%s\n' "$img" "$client" "$server" "$m" \
          "$(echo "$m / $best" | bc -l | xargs printf '%.2f')" \
          "$(echo "2 * $size / $m / 1000000" | bc -l | xargs printf '%.1f')" \
          "$([ "$fails" -gt 0 ] && echo "  ($fails failed)")"
      done
    done
    # The lock-step limit: the same number of bare 516/4-byte exchanges, one after the other.
    local exchanges=$(( 2 * (size / 512 + 1) ))
    printf '%-10s %-9s %-10s %10s %10s %10s\n' "$img" "-" "udp-pingpong" "$("$pingpong" "$exchanges" "$rounds")" \
      "" "($exchanges exchanges)"
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    pids=()
  done
}

run_cpu() {
  echo "== CPU: one full two-pass serve of the largest built-in image (tolva22, 755,511 bytes), curl as client =="
  local users=() systems=()
  for ((r = 0; r < rounds; r++)); do
    local port
    port=$(free_udp_port)
    /usr/bin/time -f "%U %S" -o "$work/cpu" "$cli" serve --builtin tolva22 --port "$port" 2>/dev/null & local sp=$!
    wait_bound "$port"
    two_downloads curl "$port" "$build/engine/images/tolva22.bin" >/dev/null
    wait "$sp"
    users+=("$(cut -d' ' -f1 "$work/cpu")"); systems+=("$(cut -d' ' -f2 "$work/cpu")")
  done
  printf 'user %s s, system %s s (median of %d; each: user %s / system %s)\n' \
    "$(printf '%s\n' "${users[@]}" | median)" "$(printf '%s\n' "${systems[@]}" | median)" "$rounds" \
    "${users[*]}" "${systems[*]}"
}

# One full upgrade (HTTP probe, version, command, two downloads) against the simulator with
# DATA and ACK loss; prints "ok SECONDS" or "fail SECONDS". IMAGE "builtin" serves the built-in
# tolva22 image, which the simulator verifies by its trailer.
lossy_upgrade() { # loss seed image
  local dir="$work/up-$2-$1"
  mkdir -p "$dir"
  local tport image_args=(--image "$3") any=(--accept-any-image)
  [ "$3" = builtin ] && { image_args=(); any=(); }
  tport=$(free_udp_port)
  "$devsim" --model tolva22 --http-port 0 --tftp-port "$tport" --erase-seconds 0 --reboot-seconds 0 \
    --tftp-dally-ms 200 "${any[@]}" --once --seed "$2" --fault "drop-data=$1,drop-ack=$1" \
    --ready-file "$dir/ready" --report "$dir/report.json" >/dev/null 2>&1 & local dp=$!
  for _ in $(seq 100); do [ -s "$dir/ready" ] && break; sleep 0.05; done
  local hport t0 rc
  hport=$(cut -d: -f2 "$dir/ready")
  t0=$(now)
  # A journal of the run's own: a device left bricked here must not keep the next run from its own.
  "$cli" upgrade 127.0.0.1 --http-port "$hport" --tftp-port "$tport" --yes "${image_args[@]}" \
    --fetch-timeout 60 --idle-timeout 60 --journal "$dir/journal-$2.jsonl" >/dev/null 2>&1
  rc=$?
  local t
  t=$(echo "$(now) - $t0" | bc -l)
  # A device bricked by a failed program download waits for a rescue that no one here sends.
  for _ in $(seq 200); do kill -0 "$dp" 2>/dev/null || break; sleep 0.05; done
  kill "$dp" 2>/dev/null
  wait "$dp"
  if [ $rc -eq 0 ] && grep -q '"identical": true' "$dir/report.json" && grep -q '"succeeded": true' "$dir/report.json"; then
    printf 'ok %.3f\n' "$t"
  else
    printf 'fail %.3f\n' "$t"
  fi
  rm -rf "$dir"
}

run_loss() {
  local image="$work/img-16k"
  head -c 16384 /dev/urandom >"$image"
  echo "== Loss: $loss_runs upgrades of a 16 KiB image per row, DATA and ACK loss in each direction, seeded =="
  echo "   (simulator: --erase-seconds 0 --reboot-seconds 0; its TFTP client repeats after 2 s; 4 upgrades at a time)"
  printf '%-34s %6s %12s %10s\n' setup loss succeeded median_s
  for loss in 0.05 0.10; do
    : >"$work/loss-$loss"
    for lane in 0 1 2 3; do
      (for ((i = lane; i < loss_runs; i += 4)); do lossy_upgrade "$loss" $((i + 1)) "$image"; done) \
        >>"$work/loss-$loss.$lane" &
    done
    wait
    cat "$work/loss-$loss".? >"$work/loss-$loss"
    printf '%-34s %5.0f%% %8s/%-3s %10s\n' "skelvo upgrade vs skelvo-devsim" "$(echo "$loss * 100" | bc -l)" \
      "$(grep -c '^ok' "$work/loss-$loss")" "$loss_runs" \
      "$(grep '^ok' "$work/loss-$loss" | cut -d' ' -f2 | median)"
  done
  # The same lossy client (the simulator's, with its drop faults) against tftpd-hpa and against
  # serve: two downloads make one upgrade's transfers.
  mkdir -p "$work/root-hpa"; chmod 755 "$work/root-hpa"; cp "$image" "$work/root-hpa/image"; chmod 644 "$work/root-hpa/image"
  local p_hpa
  p_hpa=$(free_udp_port)
  /usr/sbin/in.tftpd -L -a "127.0.0.1:$p_hpa" -u nobody -s "$work/root-hpa" & pids+=($!)
  wait_bound "$p_hpa"
  echo "-- the simulator's TFTP client alone: $loss_runs pairs of downloads (one upgrade's transfers) --"
  printf '%-34s %6s %12s %10s\n' server loss succeeded median_s
  for loss in 0.05 0.10; do
    for lane in 0 1 2 3; do
      ("$lossy" "127.0.0.1:$p_hpa" "$image" $((2 * loss_runs / 4)) "$loss" $((lane + 7)) >"$work/hpa-$loss.$lane") &
    done
    wait_lanes() { for j in $(jobs -p); do [ "$j" = "${pids[0]}" ] || wait "$j"; done; }
    wait_lanes
    cat "$work/hpa-$loss".? | paste -d' ' - - | awk '{ok=($1=="ok"&&$3=="ok"); print (ok?"ok":"fail"), $2+$4}' >"$work/hpa-$loss"
    printf '%-34s %5.0f%% %8s/%-3s %10s\n' "tftpd-hpa (in.tftpd, defaults)" "$(echo "$loss * 100" | bc -l)" \
      "$(grep -c '^ok' "$work/hpa-$loss")" "$(wc -l <"$work/hpa-$loss")" \
      "$(grep '^ok' "$work/hpa-$loss" | cut -d' ' -f2 | median)"
    for lane in 0 1 2 3; do
      (for ((i = lane; i < loss_runs; i += 4)); do
         port=$(free_udp_port)
         "$cli" serve --image "$image" --port "$port" >/dev/null 2>&1 & sp=$!
         wait_bound "$port"
         "$lossy" "127.0.0.1:$port" "$image" 2 "$loss" $((i + 1000)) | paste -d' ' - - |
           awk '{ok=($1=="ok"&&$3=="ok"); print (ok?"ok":"fail"), $2+$4}'
         kill "$sp" 2>/dev/null; wait "$sp" 2>/dev/null
       done >"$work/sk-$loss.$lane") &
    done
    wait_lanes
    cat "$work/sk-$loss".? >"$work/sk-$loss"
    printf '%-34s %5.0f%% %8s/%-3s %10s\n' "skelvo serve" "$(echo "$loss * 100" | bc -l)" \
      "$(grep -c '^ok' "$work/sk-$loss")" "$(wc -l <"$work/sk-$loss")" \
      "$(grep '^ok' "$work/sk-$loss" | cut -d' ' -f2 | median)"
  done
}

# Seconds of one pair of downloads (one upgrade's transfers) by the lossy client, or "fail".
pair_time() { # lossy-fetch output of two downloads
  paste -d' ' - - | awk '{print ($1=="ok" && $3=="ok") ? $2+$4 : "fail"}'
}

# ok/runs and the median of the successes, from lines of seconds or "fail".
summary() { # file runs
  printf '%s/%s %s' "$(grep -vc fail "$1")" "$2" "$(grep -v fail "$1" | median)"
}

# The largest built-in image under loss in each direction: whole upgrades, and the simulator's
# lossy client fetching it twice from serve and from tftpd-hpa.
run_loss_image() {
  local image="$build/engine/images/tolva22.bin"
  local size
  size=$(stat -c %s "$image")
  echo "== Loss: the built-in tolva22 image ($size bytes), DATA and ACK loss in each direction, $image_runs seeded runs per cell =="
  echo "   (median seconds of the successes; ok/runs. Upgrades one at a time; tftpd-hpa's runs side by side, as they wait on its 1 s timer)"
  printf '%-6s %-24s %-24s %-24s\n' loss "skelvo upgrade+devsim" "lossy client x2, serve" "lossy client x2, tftpd-hpa"
  mkdir -p "$work/root-img"; chmod 755 "$work/root-img"; cp "$image" "$work/root-img/image"; chmod 644 "$work/root-img/image"
  local p_hpa
  p_hpa=$(free_udp_port)
  /usr/sbin/in.tftpd -L -a "127.0.0.1:$p_hpa" -u nobody -s "$work/root-img" & pids+=($!)
  wait_bound "$p_hpa"
  for loss in 0 0.01 0.02 0.05; do
    : >"$work/img-up-$loss"; : >"$work/img-sk-$loss"
    for ((i = 1; i <= image_runs; i++)); do
      lossy_upgrade "$loss" "$i" builtin | sed 's/^ok //; s/^fail .*/fail/' >>"$work/img-up-$loss"
      local port
      port=$(free_udp_port)
      "$cli" serve --builtin tolva22 --port "$port" >/dev/null 2>&1 & local sp=$!
      wait_bound "$port"
      "$lossy" "127.0.0.1:$port" "$image" 2 "$loss" $((i + 500)) | pair_time >>"$work/img-sk-$loss"
      kill "$sp" 2>/dev/null; wait "$sp" 2>/dev/null
    done
    local lanes=()
    for ((i = 1; i <= image_runs; i++)); do
      ("$lossy" "127.0.0.1:$p_hpa" "$image" 2 "$loss" $((i + 500)) | pair_time >"$work/img-hpa-$loss.$i") & lanes+=($!)
    done
    wait "${lanes[@]}"
    cat "$work/img-hpa-$loss".* >"$work/img-hpa-$loss"
    printf '%-6s %-24s %-24s %-24s\n' "$(echo "$loss * 100" | bc -l | xargs printf '%.0f%%')" \
      "$(summary "$work/img-up-$loss" "$image_runs")" "$(summary "$work/img-sk-$loss" "$image_runs")" \
      "$(summary "$work/img-hpa-$loss" "$image_runs")"
  done
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  pids=()
}

# CPU seconds (user + system) a running process has used so far, with its children that it has
# waited for (tftpd-hpa serves each transfer in a child process).
cpu_seconds() { # pid
  sed 's/.*) //' "/proc/$1/stat" | awk -v hz="$(getconf CLK_TCK)" '{printf "%.2f\n", ($12 + $13 + $14 + $15) / hz}'
}

# One batch upgrade of N simulated Tolva 22xx (all served the same built-in 755,511-byte image),
# all commanded at once (--parallel N); prints key=value pairs: wall, cli_cpu, cli_rss (peak, MiB),
# sim_cpu and those of bench/fleet_summary.py. A single device (N = 1) takes the command line's
# one-device path.
fleet_upgrade() { # devices
  local dir="$work/fleet-$1"
  rm -rf "$dir"; mkdir -p "$dir"
  local tport
  tport=$(free_udp_port)
  "$devsim" --fleet "$1" --model tolva22 --address-base 127.0.1.1 --http-port 0 --tftp-port "$tport" \
    --erase-seconds "$erase_seconds" --ready-file "$dir/ready" --report "$dir/report.json" \
    >"$dir/devsim.log" 2>&1 & local dp=$!
  for _ in $(seq 400); do [ "$(cat "$dir/ready" 2>/dev/null | wc -l)" -ge "$1" ] && break; sleep 0.05; done
  local hport t0 t1 sim0 sim1
  hport=$(head -1 "$dir/ready" | cut -d: -f2)
  cut -d: -f1 "$dir/ready" >"$dir/hosts"
  sim0=$(cpu_seconds "$dp")
  t0=$(now)
  # The times are time's last line; a failed run has "Command exited with non-zero status" first.
  /usr/bin/time -f "%U %S %M" -o "$dir/cpu" "$cli" upgrade --hosts-file "$dir/hosts" --http-port "$hport" \
    --tftp-port "$tport" --yes --json --parallel "$1" --journal "$dir/journal-$1.jsonl" >"$dir/out.json" 2>"$dir/err.log"
  t1=$(now)
  sim1=$(cpu_seconds "$dp")
  kill "$dp" 2>/dev/null; wait "$dp" 2>/dev/null
  printf 'wall=%.3f cli_cpu=%.2f cli_rss=%.1f sim_cpu=%.2f %s\n' "$(echo "$t1 - $t0" | bc -l)" \
    "$(tail -1 "$dir/cpu" | awk '{print $1 + $2}')" "$(tail -1 "$dir/cpu" | awk '{print $3 / 1024}')" \
    "$(echo "$sim1 - $sim0" | bc -l)" \
    "$(python3 "$here/bench/fleet_summary.py" upgrade "$dir/out.json" "$dir/report.json" "$1")"
}

# N curl clients at once, each fetching the image twice in one run (as a device's two passes);
# prints wall= (from the first start to the last end), cpu= (the server's, nan without a pid),
# failed= (clients with an error or a download that differs) and, when the server has died during
# the run, died=1. Each client may take 120 s, and a second more for every five clients beside it.
fleet_curl() { # clients port image [server-pid]
  local dir="$work/curl"
  rm -rf "$dir"; mkdir -p "$dir"
  local url="tftp://127.0.0.1:$2/image" t0 t1 c0 c1 clients=()
  c0=$([ -n "${4:-}" ] && cpu_seconds "$4" || echo nan)
  t0=$(now)
  for ((i = 0; i < $1; i++)); do
    (curl -s --max-time $((120 + $1 / 5)) -o "$dir/a.$i" "$url" -o "$dir/b.$i" "$url"; echo $? >"$dir/rc.$i") & clients+=($!)
  done
  wait "${clients[@]}"
  t1=$(now)
  local died=""
  if [ -n "${4:-}" ] && ! kill -0 "$4" 2>/dev/null; then died=" died=1"; c0=nan; fi
  c1=$([ "$c0" != nan ] && cpu_seconds "$4" || echo nan)
  printf 'wall=%.3f cpu=%s %s%s\n' "$(echo "$t1 - $t0" | bc -l)" \
    "$([ "$c0" = nan ] && echo nan || echo "$c1 - $c0" | bc -l | xargs printf '%.2f')" \
    "$(python3 "$here/bench/fleet_summary.py" curl "$dir" "$1" "$3")" "$died"
}

field() { # key line
  echo "$2" | tr ' ' '\n' | sed -n "s/^$1=//p"
}

# Median of one key over the rounds' lines in a file.
median_of() { # key file
  while read -r line; do field "$1" "$line"; done <"$2" | grep -v nan | median
}

sum_of() { # key file
  while read -r line; do field "$1" "$line"; done <"$2" | awk '{s += $1} END {print s + 0}'
}

# Draws the fleet's figures from DATA (columns: devices, upgrade wall, slowest device's transfers,
# skelvo-cli CPU, simulator CPU, curl x2 wall from dnsmasq, atftpd, tftpd-hpa; "nan" where none)
# into the PNG; a file BEFORE of the same form, if there, is drawn beside it as the figures before.
plot_fleet() { # data png [before]
  command -v gnuplot >/dev/null || { echo "(no gnuplot: no plot)"; return; }
  local before=${3:-}
  [ -n "$before" ] && [ -s "$before" ] || before=""
  gnuplot <<GP
set terminal pngcairo size 1200,500 font ",10"
set output "$2"
set datafile missing "nan"
set multiplot layout 1,2
set logscale xy
set grid
set key top left
set xlabel "devices (simulated) / clients (curl)"
set xtics (1, 10, 100, 300, 1000)
set title "Wall time"
set ylabel "seconds"
plot "$1" using 1:2 with linespoints lw 2 pt 7 title "upgrade, whole", \
     "$1" using 1:3 with linespoints lw 2 pt 5 title "upgrade, slowest device's transfers", \
     "$1" using 1:6 with linespoints dt 3 title "curl x2 from dnsmasq", \
     "$1" using 1:7 with linespoints dt 3 title "curl x2 from atftpd", \
     "$1" using 1:8 with linespoints dt 3 title "curl x2 from tftpd-hpa"$( [ -n "$before" ] && printf ', \\\n     "%s" using 1:2 with linespoints dt 2 lc rgb "gray40" pt 6 title "upgrade, whole (before)"' "$before")
set title "CPU time per device"
set ylabel "milliseconds per device"
plot "$1" using 1:(1000*\$4/\$1) with linespoints lw 2 pt 7 title "skelvo-cli", \
     "$1" using 1:(1000*\$5/\$1) with linespoints lw 2 pt 5 title "simulator"$( [ -n "$before" ] && printf ', \\\n     "%s" using 1:(1000*$4/$1) with linespoints dt 2 lc rgb "gray40" pt 6 title "skelvo-cli (before)", \\\n     "%s" using 1:(1000*$5/$1) with linespoints dt 2 lc rgb "gray70" pt 4 title "simulator (before)"' "$before" "$before")
unset multiplot
GP
  echo "plot: $2"
}

run_fleet() {
  local image="$build/engine/images/tolva22.bin"
  local p_hpa p_at pid_hpa pid_at pid_dm
  start_peers "$image"
  echo "== Fleet: batch upgrades of N simulated Tolva 22xx (755,511-byte image, erase $erase_seconds s), and N curl clients fetching it twice =="
  echo "   ($rounds rounds; each round runs every size, the upgrade first, then curl against dnsmasq, atftpd, tftpd-hpa)"
  declare -A dead=()
  for ((r = 1; r <= rounds; r++)); do
    for n in $fleet_sizes; do
      local line
      line=$(fleet_upgrade "$n"); echo "$line" >>"$work/up-$n"; echo "round $r, $n devices, upgrade: $line"
      for peer in dnsmasq atftpd tftpd-hpa; do
        # Without the peers (--fleet-no-peers) their columns say so.
        [ "$fleet_peers" = 0 ] && continue
        local port pid
        case $peer in
          dnsmasq) port=69 pid=$pid_dm ;;
          atftpd) port=$p_at pid=$pid_at ;;
          tftpd-hpa) port=$p_hpa pid=$pid_hpa ;;
        esac
        if [ -n "${dead[$peer]:-}" ]; then
          echo "died=1" >>"$work/curl-$peer-$n"; echo "round $r, $n clients, curl x2 from $peer: not run, it died at ${dead[$peer]}"
          continue
        fi
        line=$(fleet_curl "$n" "$port" "$image" "$pid")
        # Its children serve the transfers and are reaped without their CPU time being counted.
        [ "$peer" = tftpd-hpa ] && line=$(echo "$line" | sed 's/cpu=[^ ]*/cpu=nan/')
        echo "$line" >>"$work/curl-$peer-$n"
        echo "round $r, $n clients, curl x2 from $peer: $line"
        [ -n "$(field died "$line")" ] && dead[$peer]="$n clients"
      done
    done
  done
  local one="" runs per100="" perlast="" nlast=""
  : >"$work/plot.tsv"
  echo
  echo "| Devices | Upgrade wall time | × one | skelvo-cli CPU (user+sys) | CPU per device | peak RSS | simulator CPU | TFTP per device, median / slowest | failed | lost | repeated requests / ACKs | curl ×2 from dnsmasq | from atftpd | from tftpd-hpa |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
  for n in $fleet_sizes; do
    local wall ratio="" cpu per
    wall=$(median_of wall "$work/up-$n")
    [ "$n" = 1 ] && one=$wall
    [ -n "$one" ] && ratio=$(echo "$wall / $one" | bc -l | xargs printf '%.2f')
    runs=$(wc -l <"$work/up-$n")
    cpu=$(median_of cli_cpu "$work/up-$n")
    per=$(echo "$cpu / $n" | bc -l | xargs printf '%.4f')
    [ "$n" = 100 ] && per100=$per
    perlast=$per; nlast=$n
    local curls="" walls=()
    for peer in dnsmasq atftpd tftpd-hpa; do
      local f="$work/curl-$peer-$n" pcpu pwall
      if [ "$fleet_peers" = 0 ]; then curls+=" not measured |"; walls+=(nan); continue; fi
      if grep -q 'died=1' "$f"; then
        if grep -q '^died=1$' "$f"; then curls+=" not run: it died at fewer clients |"
        else curls+=" died during the run, $(sum_of failed "$f")/$((n * runs)) failed |"; fi
        walls+=(nan); continue
      fi
      pcpu=$(median_of cpu "$f"); pwall=$(median_of wall "$f")
      curls+=" $pwall s,$([ "$pcpu" = nan ] || echo " CPU $pcpu s,") $(sum_of failed "$f")/$((n * runs)) failed |"
      # A peer that failed clients did not serve them all: no time for it in the plot.
      if [ "$(sum_of failed "$f")" -gt 0 ]; then walls+=(nan); else walls+=("$pwall"); fi
    done
    printf '| %s | %s s | %s | %s s | %s s | %s MiB | %s s | %s / %s s | %s/%s | %s | %s / %s |%s\n' "$n" "$wall" "${ratio:--}" \
      "$cpu" "$per" "$(median_of cli_rss "$work/up-$n")" "$(median_of sim_cpu "$work/up-$n")" \
      "$(median_of tftp_med "$work/up-$n")" "$(median_of tftp_max "$work/up-$n")" \
      "$(sum_of failed "$work/up-$n")" "$((n * runs))" "$(sum_of lost "$work/up-$n")" \
      "$(sum_of rrq_repeats "$work/up-$n")" "$(sum_of ack_repeats "$work/up-$n")" "$curls"
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$n" "$wall" "$(median_of tftp_max "$work/up-$n")" "$cpu" \
      "$(median_of sim_cpu "$work/up-$n")" "${walls[@]}" >>"$work/plot.tsv"
  done
  if [ -n "$per100" ] && [ "$nlast" != 100 ]; then
    echo
    echo "skelvo-cli CPU per device at $nlast devices: $(echo "$perlast / $per100" | bc -l | xargs printf '%.2f') times that at 100"
  fi
  cp "$work/plot.tsv" "${plot%.png}.tsv"
  plot_fleet "${plot%.png}.tsv" "$plot" "${plot%.png}-before.tsv"
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  pids=()
}

case $only in
  # U-Boot under QEMU in a namespace of its own: bench/bootloader-bench.sh.
  bootloader) exec bash "$here/bench/bootloader-bench.sh" "$build" --rounds "$rounds" ;;
  throughput) run_throughput ;;
  cpu) run_cpu ;;
  loss) run_loss ;;
  loss-image) run_loss_image ;;
  fleet) run_fleet ;;
  rest|"") run_cpu; run_loss_image; run_loss ;;
esac

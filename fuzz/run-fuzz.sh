#!/usr/bin/env bash
# Runs libFuzzer targets for a fixed time each and prints one line per target: executions,
# coverage (edges), features, corpus size and the outcome. Exit status 1 if any target found
# something.
#   fuzz/run-fuzz.sh BUILD_DIR SECONDS [JOBS] [TARGET...]
# JOBS targets run at a time (default 1). The seed corpus in fuzz/corpus/<target> is read, never
# written: each run grows its own working corpus under BUILD_DIR/fuzz/work/<target>, and a crash
# input is left in BUILD_DIR/fuzz/findings/<target>.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build dir}" && pwd)
seconds=${2:?seconds}
jobs=${3:-1}
shift $(( $# >= 3 ? 3 : $# ))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_check_filename fuzz_tftp_session fuzz_http_scanners fuzz_command_reply
           fuzz_format_version fuzz_encode_credentials)
fi

run_one() {
  local t=$1
  local work="$build/fuzz/work/$t" findings="$build/fuzz/findings/$t" log="$build/fuzz/logs/$t.log"
  mkdir -p "$work" "$findings" "$(dirname "$log")"
  "$build/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
    -artifact_prefix="$findings/" "$work" "$here/corpus/$t" >"$log" 2>&1
  local rc=$?
  local execs cov ft corp outcome
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  corp=$(grep -o 'corp: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  if [ $rc -eq 0 ]; then outcome="no findings"; else outcome="FINDING (exit $rc, see $log)"; fi
  printf '%-26s %6ss %12s execs  cov %5s  ft %6s  corpus %5s  %s\n' \
    "$t" "$seconds" "${execs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$outcome"
  return $rc
}

status=0
pids=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
exit $status

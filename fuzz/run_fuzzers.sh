#!/usr/bin/env bash
# Builds the clang fuzz build and runs each fuzz target for SECONDS at the
# lowest priority, after replaying its past crashes (fuzz/regressions/<target>/).
# CI runs it with 60; longer campaigns use the same script. The corpus grows in
# the work folder, starting from the seeds and the kept corpus (fuzz/corpus/).
#   fuzz/run_fuzzers.sh SECONDS [TARGET...]     targets: container decoder run name
# Environment: FUZZ_BUILD_DIR (build-fuzz), FUZZ_WORK_DIR (<build>/campaign),
# FUZZ_TMPDIR (scratch folders of the targets; /dev/shm when there is one),
# FUZZ_JOBS (targets fuzzed side by side; 1).
# Prints one line of figures per target, CPU seconds included (a nice'd
# fuzzer gets less CPU than wall time when the machine is busy); exits 1 when
# any target crashed (the input is kept under <work>/crashes/<target>/).
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ ]]; then
  sed -n "2,11p" "$0" >&2
  exit 2
fi
seconds=$1
shift
targets=("$@")
((${#targets[@]})) || targets=(container decoder run name)
. fuzz/fuzz_settings.sh

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNWELL_FUZZ=ON >/dev/null
cmake --build "$build" --target make_fuzz_seeds "${targets[@]/%/_fuzzer}"
rm -rf "$work/seeds"
mkdir -p "$work"
"$build/fuzz/make_fuzz_seeds" "$work/seeds" >/dev/null

# Fuzzes one target and leaves its figures in <work>/<target>.figures;
# fails when the target crashed.
fuzz_one() {
  local t=$1 status=0 cpu runs rate size found
  local bin=$build/fuzz/${t}_fuzzer corpus=$work/corpus/$t crashes=$work/crashes/$t
  local log=$work/$t.log kept=()
  [[ -d fuzz/corpus/$t ]] && kept=(fuzz/corpus/$t)
  local TIMEFORMAT='%U %S'
  cpu=$( { time nice -n 19 "$bin" -max_total_time="$seconds" -max_len="$(max_len "$t")" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$crashes/" \
    "$corpus" "$work/seeds/$t" "${kept[@]}" >"$log" 2>&1 || echo "exit $?" >"$log.status"; } 2>&1)
  [[ -f $log.status ]] && status=1
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  size=$(find "$corpus" -type f | wc -l)
  found=$(find "$crashes" -type f | wc -l)
  printf '%-10s %11s execs %7s execs/s  %7.0f CPU s  corpus %5s  crash files %s\n' "$t" \
    "${runs:-?}" "${rate:-?}" "$(awk '{print $1 + $2}' <<<"$cpu")" "$size" "$found" \
    >"$work/$t.figures"
  if ((status != 0)); then
    echo "== $t: crashed ($(cat "$log.status")); log: $log"
    grep -m1 -E 'ERROR|property violated|runtime error' "$log" || true
    return 1
  fi
}

jobs=${FUZZ_JOBS:-1}
failed=0
running=0
for t in "${targets[@]}"; do
  bin=$build/fuzz/${t}_fuzzer
  mkdir -p "$work/corpus/$t" "$work/crashes/$t"
  rm -f "$work/$t.figures" "$work/$t.log.status"
  mapfile -t past < <(find "fuzz/regressions/$t" -type f ! -name '.*' 2>/dev/null | sort)
  if ((${#past[@]})) && ! "$bin" "${past[@]}" >"$work/$t.replay.log" 2>&1; then
    echo "== $t: a past crash crashes again (see $work/$t.replay.log)"
    failed=1
    continue
  fi
  echo "== $t: fuzzing for $seconds s"
  fuzz_one "$t" &
  running=$((running + 1))
  if ((running >= jobs)); then
    wait -n || failed=1
    running=$((running - 1))
  fi
done
while ((running > 0)); do
  wait -n || failed=1
  running=$((running - 1))
done
echo "== figures"
for t in "${targets[@]}"; do
  [[ -f $work/$t.figures ]] && cat "$work/$t.figures"
done
exit $failed

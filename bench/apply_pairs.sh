#!/usr/bin/env bash
# Applier benchmark on real Debian file pairs: the whole run of
# `tarnwell PATCH target` beside `xdelta3 -d` on the same pair, both as a
# multiple of `cp` of the new file measured in the same run, plus the peak
# memory of every run and the system calls of the applier on one pair.
# tarnwell replaces an installed file, and freeing the replaced file's blocks
# is part of its run (with online discard, a wait for the disk); `cp` and
# `xdelta3` are timed twice: writing a new name, and over a copy of the old
# file (columns "over"), which then pays the same freeing.
# Figures only: it never fails; a missing tool shows as n/a.
#
#   bench/apply_pairs.sh PAIRS_DIR
#
# PAIRS_DIR holds pairs/<name>/{old,new}, made beforehand with
# /work/shared/bench/make_pairs.sh PAIRS_DIR (this script downloads nothing).
# Environment: BUILD (a build folder holding tarnwell and tarnwell-make,
# default build), RUNS (rounds, each timing every program once; the median is
# shown; default 5),
# TRACE_PAIR (the pair counted with strace -c, default libjvm).
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:?usage: apply_pairs.sh PAIRS_DIR}
build=${BUILD:-$root/build}
runs=${RUNS:-5}
trace_pair=${TRACE_PAIR:-libjvm}
work=$(mktemp -d /tmp/tarnwell-apply-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

have() { command -v "$1" >/dev/null 2>&1; }
for exe in tarnwell tarnwell-make; do
  [[ -x $build/$exe ]] || { echo "apply_pairs: no $build/$exe; build it first"; exit 0; }
done
[[ -d $dir/pairs ]] || { echo "apply_pairs: no pairs in $dir; run make_pairs.sh $dir first"; exit 0; }

# One timed run of a command, to the microsecond (bash's EPOCHREALTIME)
# around /usr/bin/time, which gives the peak memory. Its setup (the fresh
# copy of the old file that tarnwell patches in place) runs outside the
# timing and ends with a sync: an installed file is on the disk, and no run
# should pay for writing back what an earlier one left. Appends the seconds
# to the array named first and raises peak[name]; false when it fails.
declare -A peak
run_once() {  # ARRAY SETUP COMMAND
  local -n into=$1
  local t0 t1 kb
  eval "$2"
  sync
  t0=$EPOCHREALTIME
  /usr/bin/time -f "%M" -o "$work/time" bash -c "$3" >/dev/null 2>&1 || return 1
  t1=$EPOCHREALTIME
  into+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }')")
  read -r kb <"$work/time"
  ((kb > ${peak[$1]:-0})) && peak[$1]=$kb
  return 0
}
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

printf '%-12s %7s %8s %8s %8s %8s %8s %7s %7s %7s %7s %8s %8s  %s\n' pair "new MB" "cp s" \
  "cp over" "tw s" "xd3 s" "xd3 over" "tw/cp" "xd3/cp" "tw/over" "xd3/ovr" "tw RSS" "xd3 RSS" check
log_tw=0 log_xd=0 log_two=0 log_xdo=0 n=0 n_xd=0 n_xdo=0 worst_rss=0
for p in "$dir"/pairs/*/; do
  name=$(basename "$p") old=$p/old new=$p/new
  [[ -f $old && -f $new ]] || continue
  patch=$work/$name.twp
  if ! "$build/tarnwell-make" "$old" "$new" -o "$patch" >/dev/null 2>&1; then
    echo "$name: tarnwell-make failed"
    continue
  fi
  mkdir -p "$work/t"
  xd=false
  have xdelta3 && xdelta3 -e -9 -S none -f -s "$old" "$new" "$work/$name.vcdiff" >/dev/null 2>&1 &&
    xd=true
  # The programs take turns, run after run: a machine that slows down for
  # a while slows them all alike, and the ratios stay fair.
  t_cp=() t_cpo=() t_tw=() t_xd=() t_xdo=() peak=()
  tw_ok=true xd_ok=$xd
  for ((i = 0; i < runs; i++)); do
    run_once t_cp "rm -f $work/copy" "cp $new $work/copy"
    run_once t_cpo "cp $old $work/copy" "cp $new $work/copy"
    run_once t_tw "rm -rf $work/t; mkdir -p $work/t; cp $old $work/t/target" \
      "$build/tarnwell $patch $work/t/target" || tw_ok=false
    if $xd_ok; then
      run_once t_xd "rm -f $work/xd.out" "xdelta3 -d -f -s $old $work/$name.vcdiff $work/xd.out" &&
        run_once t_xdo "cp $old $work/xd.out" "xdelta3 -d -f -s $old $work/$name.vcdiff $work/xd.out" ||
        xd_ok=false
    fi
  done
  if ! $tw_ok; then
    echo "$name: tarnwell failed"
    continue
  fi
  cp_s=$(median "${t_cp[@]}") cpo_s=$(median "${t_cpo[@]}") tw_s=$(median "${t_tw[@]}")
  tw_kb=${peak[t_tw]}
  check=WRONG
  cmp -s "$work/t/target" "$new" && check=ok
  xd_s=n/a xd_kb=n/a xdo_s=n/a
  if $xd_ok; then
    xd_s=$(median "${t_xd[@]}") xdo_s=$(median "${t_xdo[@]}") xd_kb=${peak[t_xd]}
    cmp -s "$work/xd.out" "$new" || xd_s="$xd_s(WRONG)"
  fi
  tw_r=$(ratio "$tw_s" "$cp_s")
  two_r=$(ratio "$tw_s" "$cpo_s")
  xd_r=n/a xdo_r=n/a
  [[ $xd_s != n/a ]] && xd_r=$(ratio "${xd_s%%(*}" "$cp_s")
  [[ $xdo_s != n/a ]] && xdo_r=$(ratio "$xdo_s" "$cpo_s")
  printf '%-12s %7.1f %8s %8s %8s %8s %8s %7s %7s %7s %7s %8.1f %8s  %s\n' "$name" \
    "$(echo "$(stat -c %s "$new") / 1048576" | bc -l)" "$cp_s" "$cpo_s" "$tw_s" "$xd_s" "$xdo_s" \
    "$tw_r" "$xd_r" "$two_r" "$xdo_r" \
    "$(echo "$tw_kb / 1024" | bc -l)" \
    "$([[ $xd_kb == n/a ]] && echo n/a || printf '%.1f' "$(echo "$xd_kb / 1024" | bc -l)")" "$check"
  log_tw=$(awk -v s="$log_tw" -v r="$tw_r" 'BEGIN { print s + log(r) }')
  log_two=$(awk -v s="$log_two" -v r="$two_r" 'BEGIN { print s + log(r) }')
  n=$((n + 1))
  if [[ $xdo_r != n/a ]]; then
    log_xdo=$(awk -v s="$log_xdo" -v r="$xdo_r" 'BEGIN { print s + log(r) }')
    n_xdo=$((n_xdo + 1))
  fi
  if [[ $xd_r != n/a ]]; then
    log_xd=$(awk -v s="$log_xd" -v r="$xd_r" 'BEGIN { print s + log(r) }')
    n_xd=$((n_xd + 1))
  fi
  ((tw_kb > worst_rss)) && worst_rss=$tw_kb
  if [[ $name == "$trace_pair" ]] && have strace; then
    rm -rf "$work/t" && mkdir -p "$work/t" && cp "$old" "$work/t/target"
    strace -c -f -o "$work/strace" "$build/tarnwell" "$patch" "$work/t/target" >/dev/null 2>&1
    cp "$work/strace" "$work/strace.$name"
  fi
done

echo
if ((n > 0)); then
  awk -v s="$log_tw" -v n="$n" 'BEGIN { printf "geometric mean, tarnwell / cp: %.2f over %d pairs\n", exp(s / n), n }'
fi
if ((n_xd > 0)); then
  awk -v s="$log_xd" -v n="$n_xd" 'BEGIN { printf "geometric mean, xdelta3 -d / cp: %.2f over %d pairs\n", exp(s / n), n }'
fi
if ((n > 0)); then
  awk -v s="$log_two" -v n="$n" 'BEGIN { printf "geometric mean, tarnwell / cp over the old file: %.2f over %d pairs\n", exp(s / n), n }'
fi
if ((n_xdo > 0)); then
  awk -v s="$log_xdo" -v n="$n_xdo" 'BEGIN { printf "geometric mean, xdelta3 -d over the old file / cp over it: %.2f over %d pairs\n", exp(s / n), n }'
fi
printf 'largest peak RSS of tarnwell: %.1f MiB\n' "$(echo "$worst_rss / 1024" | bc -l)"
if [[ -f $work/strace.$trace_pair ]]; then
  echo
  echo "system calls of tarnwell on $trace_pair (strace -c -f):"
  awk 'NR > 2 && $1 !~ /^-/ { printf "  %-16s %9d\n", $NF, $4 }' "$work/strace.$trace_pair" |
    sort -k2 -nr | head -12
fi
exit 0

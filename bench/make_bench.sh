#!/usr/bin/env bash
# Patch maker benchmark: tarnwell-make beside the delta tools of the field on
# real Debian binary pairs. For every pair and tool it prints the patch size as
# a share of the new file, the time and peak memory of making it, and the time
# of applying it (checked against the new file); then the sums. Figures only:
# it never fails, a missing tool shows as n/a.
#
#   bench/make_bench.sh [PAIRS_DIR]
#
# PAIRS_DIR (default ~/.cache/tarnwell-bench-pairs) caches the pairs; they are
# fetched once with the shared recipe ($MAKE_PAIRS, by default
# /work/shared/bench/make_pairs.sh), which needs apt sources for bookworm.
# Environment: BUILD (a build folder, default build-bench, made here as a
# Release build), EFFORT (tarnwell-make --effort, default 2), PAIRS (names of
# the pairs to run, default all), FOLDERS (0 leaves out the release-folder
# pairs of bench/make_folders.sh, which run after the file pairs).
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
cache=${1:-${XDG_CACHE_HOME:-$HOME/.cache}/tarnwell-bench-pairs}
make_pairs=${MAKE_PAIRS:-/work/shared/bench/make_pairs.sh}
build=${BUILD:-$root/build-bench}
effort=${EFFORT:-2}
work=$(mktemp -d /tmp/tarnwell-make-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
export build effort work  # for the timed commands, which run in a shell of their own

have() { command -v "$1" >/dev/null 2>&1; }

if [[ ! -f $cache/pairs/SHA256SUMS ]]; then
  echo "fetching the pairs into $cache ..."
  mkdir -p "$cache"
  if ! bash "$make_pairs" "$cache" >"$work/pairs.log" 2>&1; then
    echo "make_bench: the pairs could not be made (see below); nothing measured"
    tail -5 "$work/pairs.log"
    exit 0
  fi
fi
pairs=${PAIRS:-$(cd "$cache/pairs" && for d in */; do [[ -f $d/old && -f $d/new ]] && echo "${d%/}"; done)}

if ! { [[ -f $build/build.ninja ]] ||
       cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWELL_TESTS=OFF \
         >"$work/build.log" 2>&1; } ||
   ! ninja -C "$build" tarnwell >>"$work/build.log" 2>&1; then
  echo "make_bench: the applier does not build; nothing measured"
  tail -20 "$work/build.log"
  exit 0
fi
# The maker's command line, or else the differ alone behind a small driver.
if ninja -C "$build" tarnwell-make >>"$work/build.log" 2>&1; then
  maker=(tarnwell-make "$build/tarnwell-make" --effort "$effort")
  make_ours() { "$build/tarnwell-make" --effort "$effort" "$1" "$2" -o "$3" >/dev/null; }
elif ninja -C "$build" diff_bench >>"$work/build.log" 2>&1; then
  maker=(diff_bench)
  make_ours() { "$build/diff_bench" "$1" "$2" "$3" "$effort" >/dev/null; }
else
  echo "make_bench: neither tarnwell-make nor diff_bench builds; nothing measured"
  exit 0
fi
apply_ours() {  # OLD PATCH OUT
  mkdir -p "$work/apply" && cp "$1" "$work/apply/target" &&
    "$build/tarnwell" "$2" "$work/apply/target" >/dev/null 2>&1 &&
    mv "$work/apply/target" "$3"
  rm -rf "$work/apply"
}

# name | make command | apply command (OLD NEW PATCH OUT are filled in)
zstd_long=--long=27
tools=(
  "tarnwell|make_ours OLD NEW PATCH|apply_ours OLD PATCH OUT"
  "xdelta3 -9 -S none|xdelta3 -9 -S none -f -e -s OLD NEW PATCH|xdelta3 -d -f -s OLD PATCH OUT"
  "xdelta3|xdelta3 -f -e -s OLD NEW PATCH|xdelta3 -d -f -s OLD PATCH OUT"
  "bsdiff|bsdiff OLD NEW PATCH|bspatch OLD OUT PATCH"
  "zstd -19 --patch-from|zstd -q -f -19 $zstd_long --patch-from=OLD NEW -o PATCH|zstd -q -f -d $zstd_long --patch-from=OLD PATCH -o OUT"
)
tool_names=("tarnwell" "tarnwell + xz -9" "xdelta3 -9 -S none" "xdelta3" "bsdiff" "zstd -19 --patch-from")

# Runs a command under /usr/bin/time; sets secs and kb ("n/a" on failure).
timed() {
  secs=n/a kb=n/a
  if /usr/bin/time -f "%e %M" -o "$work/time" bash -c "$(declare -f make_ours apply_ours); $*" \
      >/dev/null 2>&1; then
    read -r secs kb <"$work/time"
  else
    return 1
  fi
}

declare -A total_patch total_make total_apply peak_ratio failed
total_new=0
printf '%-12s %10s  %-22s %8s %8s %8s %7s %8s  %s\n' pair "new bytes" tool "patch %" "make s" \
  "make MB" "x old" "apply s" check
for pair in $pairs; do
  old=$cache/pairs/$pair/old new=$cache/pairs/$pair/new
  [[ -f $old && -f $new ]] || { echo "$pair: no such pair"; continue; }
  new_size=$(stat -c %s "$new") old_size=$(stat -c %s "$old")
  total_new=$((total_new + new_size))
  first=1
  for entry in "${tools[@]}"; do
    IFS='|' read -r name make_cmd apply_cmd <<<"$entry"
    label=$pair size_col=$new_size
    ((first)) || label= size_col=
    first=0
    tool=${make_cmd%% *}
    if [[ $tool != make_ours ]] && ! have "$tool"; then
      printf '%-12s %10s  %-22s %8s\n' "$label" "$size_col" "$name" n/a
      failed[$name]=1
      continue
    fi
    patch=$work/patch out=$work/out
    rm -f "$patch" "$out"
    cmd=${make_cmd//OLD/$old}; cmd=${cmd//NEW/$new}; cmd=${cmd//PATCH/$patch}
    if ! timed "$cmd" || [[ ! -f $patch ]]; then
      printf '%-12s %10s  %-22s %8s\n' "$label" "$size_col" "$name" "failed"
      failed[$name]=1
      continue
    fi
    make_s=$secs make_kb=$kb
    patch_size=$(stat -c %s "$patch")
    cmd=${apply_cmd//OLD/$old}; cmd=${cmd//PATCH/$patch}; cmd=${cmd//OUT/$out}
    check=WRONG apply_s=n/a
    if timed "$cmd"; then
      apply_s=$secs
      cmp -s "$out" "$new" && check=ok
    fi
    [[ $check == ok ]] || failed[$name]=1
    ratio=$(echo "scale=1; $make_kb * 1024 / $old_size" | bc)
    printf '%-12s %10s  %-22s %8.2f %8.2f %8.1f %7s %8s  %s\n' "$label" "$size_col" "$name" \
      "$(echo "100 * $patch_size / $new_size" | bc -l)" "$make_s" "$(echo "$make_kb / 1024" | bc -l)" \
      "$ratio" "$apply_s" "$check"
    total_patch[$name]=$(( ${total_patch[$name]:-0} + patch_size ))
    total_make[$name]=$(echo "${total_make[$name]:-0} + $make_s" | bc)
    [[ $apply_s == n/a ]] || total_apply[$name]=$(echo "${total_apply[$name]:-0} + $apply_s" | bc)
    if (( $(echo "$ratio > ${peak_ratio[$name]:-0}" | bc) )); then peak_ratio[$name]=$ratio; fi
    if [[ $name == tarnwell ]] && have xz; then
      xz_size=$(xz -9 -c "$patch" | wc -c)
      printf '%-12s %10s  %-22s %8.2f\n' "" "" "tarnwell + xz -9" "$(echo "100 * $xz_size / $new_size" | bc -l)"
      total_patch["tarnwell + xz -9"]=$(( ${total_patch["tarnwell + xz -9"]:-0} + xz_size ))
    fi
  done
done

echo
echo "sum over the pairs: patch bytes / new bytes, times added up, the largest peak memory"
echo "as a multiple of the old file; ${maker[0]} at effort $effort"
printf '%-24s %8s %9s %8s %9s\n' tool "patch %" "make s" "x old" "apply s"
for name in "${tool_names[@]}"; do
  [[ -n ${total_patch[$name]:-} ]] || continue
  note=
  [[ -n ${failed[$name]:-} ]] && note="  (some pairs failed or are missing)"
  num() { [[ -n ${1:-} ]] && printf '%.2f' "$1" || printf -- -; }
  printf '%-24s %8.2f %9s %8s %9s%s\n' "$name" "$(echo "100 * ${total_patch[$name]} / $total_new" | bc -l)" \
    "$(num "${total_make[$name]:-}")" "$(num "${peak_ratio[$name]:-}")" \
    "$(num "${total_apply[$name]:-}")" "$note"
done
if [[ ${FOLDERS:-1} != 0 ]]; then
  echo
  # PAIRS names file pairs here; the folder pairs have their own names.
  PAIRS= BUILD=$build EFFORT=$effort bash "$root/bench/make_folders.sh"
fi
exit 0

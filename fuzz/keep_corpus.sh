#!/usr/bin/env bash
# Merges what a campaign grew (<work>/corpus/<target>) with the kept corpus
# fuzz/corpus/<target>, down to the inputs that add coverage, and puts the
# result in fuzz/corpus/<target>, which every build replays as a test and the
# next campaign starts from. Run after fuzz/run_fuzzers.sh; same environment.
#   fuzz/keep_corpus.sh TARGET...
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ $# -lt 1 ]]; then
  sed -n "2,6p" "$0" >&2
  exit 2
fi
. fuzz/fuzz_settings.sh

for t in "$@"; do
  bin=$build/fuzz/${t}_fuzzer
  [[ -x $bin ]] || { echo "no $bin: run fuzz/run_fuzzers.sh first" >&2; exit 1; }
  merged=$work/merged/$t
  rm -rf "$merged"
  mkdir -p "$merged" fuzz/corpus/"$t"
  "$bin" -merge=1 -max_len="$(max_len "$t")" -timeout=10 -rss_limit_mb=2048 "$merged" \
    fuzz/corpus/"$t" "$work/corpus/$t" >"$work/$t.merge.log" 2>&1 || {
    echo "== $t: merge failed (see $work/$t.merge.log)" >&2
    exit 1
  }
  rm -rf fuzz/corpus/"$t"
  mv "$merged" fuzz/corpus/"$t"
  echo "$t: kept $(find fuzz/corpus/"$t" -type f | wc -l) inputs," \
    "$(du -sk fuzz/corpus/"$t" | cut -f1) KB"
done

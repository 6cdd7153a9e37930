#!/usr/bin/env bash
# Patch maker benchmark on whole release folders: the same Debian package from
# two releases, unpacked. For every pair it prints tarnwell-make's patch size
# beside xdelta3 -e -9 -S none over sorted tarballs of the same two folders
# (the closest a single-file tool comes to a folder patch), their ratio, the
# make time and peak memory, and a round trip through tarnwell: a copy of old/
# is patched and compared with new/ file by file (content, and the mode of
# every file of new/). Figures only: it never fails.
#
#   bench/make_folders.sh [FOLDERS_DIR]
#
# FOLDERS_DIR (default /tmp/bench-folders) holds <pair>/old and <pair>/new; a
# pair missing there is made with the shared recipe ($MAKE_FOLDERS, by default
# /work/shared/bench/make_folder_pairs.sh). Environment: BUILD (a build folder,
# default build-bench, made here as a Release build), EFFORT (tarnwell-make
# --effort, default 2), PAIRS (names of the pairs to run, default all four).
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
cache=${1:-/tmp/bench-folders}
make_folders=${MAKE_FOLDERS:-/work/shared/bench/make_folder_pairs.sh}
build=${BUILD:-$root/build-bench}
effort=${EFFORT:-2}
pairs=${PAIRS:-coreutils libsqlite3 sqlite3 rsync}
work=$(mktemp -d /tmp/tarnwell-make-folders.XXXXXX)
trap 'rm -rf "$work"' EXIT

have() { command -v "$1" >/dev/null 2>&1; }

if ! have xdelta3; then
  echo "installing xdelta3 for the baseline ..."
  { apt-get install -y xdelta3 || sudo -n apt-get install -y xdelta3; } >"$work/apt.log" 2>&1 ||
    echo "make_folders: xdelta3 could not be installed; its column shows n/a"
fi

for pair in $pairs; do
  if [[ ! -d $cache/$pair/old || ! -d $cache/$pair/new ]]; then
    echo "making the folder pairs in $cache ..."
    if ! bash "$make_folders" "$cache" >"$work/pairs.log" 2>&1; then
      echo "make_folders: the pairs could not be made (see below); nothing measured"
      tail -5 "$work/pairs.log"
      exit 0
    fi
    break
  fi
done

if ! { [[ -f $build/build.ninja ]] ||
       cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWELL_TESTS=OFF \
         >"$work/build.log" 2>&1; } ||
   ! ninja -C "$build" tarnwell tarnwell-make >>"$work/build.log" 2>&1; then
  echo "make_folders: tarnwell or tarnwell-make does not build; nothing measured"
  tail -20 "$work/build.log"
  exit 0
fi

# A tarball that depends only on the folder's names and contents.
sorted_tar() {  # FOLDER OUT
  tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -C "$1" -cf "$2" .
}

# Compares the patched copy with new/: sets bad_content and bad_mode to the
# counts of files of new/ that differ. Links in new/ are compared by the
# content and mode of the file they lead to, which is what the patch stores.
compare_tree() {  # NEW PATCHED
  bad_content=0 bad_mode=0 checked=0
  local rel
  while IFS= read -r -d '' rel; do
    checked=$((checked + 1))
    if ! cmp -s "$1/$rel" "$2/$rel"; then
      bad_content=$((bad_content + 1))
      echo "  differs: $rel" >>"$work/diffs"
    elif [[ $(stat -L -c %a "$1/$rel") != $(stat -L -c %a "$2/$rel") ]]; then
      bad_mode=$((bad_mode + 1))
      echo "  mode $(stat -L -c %a "$1/$rel") -> $(stat -L -c %a "$2/$rel"): $rel" >>"$work/diffs"
    fi
  done < <(cd "$1" && find . \( -type f -o -type l \) -printf '%P\0' | sort -z)
}

mb() { echo "scale=1; $1 / 1048576" | bc; }

total_new=0 total_ours=0 total_xd=0 total_make=0 peak_kb=0 all_ok=1
: >"$work/diffs"
printf '%-11s %9s %10s %10s %6s %7s %8s %8s  %s\n' pair "new MB" "tarnwell" "xdelta3" ratio \
  "make s" "peak MB" "xd s" "round trip"
for pair in $pairs; do
  old=$cache/$pair/old new=$cache/$pair/new
  [[ -d $old && -d $new ]] || { echo "$pair: no such pair"; continue; }
  sorted_tar "$old" "$work/old.tar" && sorted_tar "$new" "$work/new.tar"
  new_bytes=$(stat -c %s "$work/new.tar")
  total_new=$((total_new + new_bytes))

  xd=n/a xd_s=n/a
  if have xdelta3 &&
     /usr/bin/time -f %e -o "$work/time" xdelta3 -e -9 -S none -f -s "$work/old.tar" "$work/new.tar" \
       "$work/xd.patch" >/dev/null 2>&1; then
    xd=$(stat -c %s "$work/xd.patch") xd_s=$(<"$work/time")
    total_xd=$((total_xd + xd))
  fi

  rm -f "$work/ours.patch"
  ours=failed make_s=n/a kb=0 ratio=n/a check=WRONG
  if /usr/bin/time -f "%e %M" -o "$work/time" "$build/tarnwell-make" -q --effort "$effort" \
       "$old" "$new" -o "$work/ours.patch" >"$work/make.log" 2>&1; then
    read -r make_s kb <"$work/time"
    ours=$(stat -c %s "$work/ours.patch")
    total_ours=$((total_ours + ours))
    total_make=$(echo "$total_make + $make_s" | bc)
    ((kb > peak_kb)) && peak_kb=$kb
    [[ $xd != n/a ]] && ratio=$(echo "scale=2; $ours / $xd" | bc)
    rm -rf "$work/user" && cp -a "$old" "$work/user"
    if "$build/tarnwell" "$work/ours.patch" "$work/user" </dev/null >"$work/apply.log" 2>&1; then
      echo "$pair:" >>"$work/diffs"
      compare_tree "$new" "$work/user"
      check="$checked files"
      ((bad_content)) && check+=", $bad_content differ"
      ((bad_mode)) && check+=", $bad_mode modes differ"
      ((bad_content + bad_mode)) || check+=" ok"
    else
      check="apply failed: $(tail -1 "$work/apply.log")"
    fi
  else
    echo "$pair: tarnwell-make failed: $(tail -2 "$work/make.log")" >>"$work/diffs"
  fi
  [[ $check == *" ok" ]] || all_ok=0
  printf '%-11s %9s %10s %10s %6s %7s %8s %8s  %s\n' "$pair" "$(mb "$new_bytes")" "$ours" "$xd" \
    "$ratio" "$make_s" "$(mb $((kb * 1024)))" "$xd_s" "$check"
done
ratio=n/a
((total_xd > 0)) && ratio=$(echo "scale=2; $total_ours / $total_xd" | bc)
printf '%-11s %9s %10s %10s %6s %7s %8s %8s  %s\n' total "$(mb "$total_new")" "$total_ours" \
  "$total_xd" "$ratio" "$total_make" "$(mb $((peak_kb * 1024)))" "" \
  "$( ((all_ok)) && echo "all ok" || echo "see below")"
echo
echo "new MB: the sorted tarball of new/; tarnwell and xdelta3: patch bytes (xdelta3 -e -9 -S none,"
echo "old tarball as source); ratio: tarnwell / xdelta3; make s and peak MB: tarnwell-make --effort"
echo "$effort (wall time and maxrss); xd s: xdelta3's wall time. Timings on a shared machine are noisy."
((all_ok)) || { echo; cat "$work/diffs" | grep -v ':$' | head -40; }
exit 0

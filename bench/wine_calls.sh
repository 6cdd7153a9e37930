#!/usr/bin/env bash
# How the Windows build's file layer behaves on a real patch: the file calls
# that the 64-bit self-contained update program makes under Wine while it
# applies a folder patch of one real file pair, and its wall time, beside a
# plain copy of the same new file (cmd's copy, i.e. CopyFile) under the same
# Wine. Figures only: it never fails; a missing tool shows as n/a.
#
#   bench/wine_calls.sh PAIRS_DIR
#
# PAIRS_DIR holds pairs/<name>/{old,new}, made beforehand with
# /work/shared/bench/make_pairs.sh PAIRS_DIR (this script downloads nothing).
# Environment: PAIR (default libjvm), BUILD (native build with tarnwell-make,
# default build), BUILD_WIN64 (holding tarnwell64.exe and wine_driver.exe,
# default build-win64), RUNS (timed runs per figure, the median is shown,
# default 3), KEEP (set: keep the work folder with the traces and logs),
# TARNWELL_WINEPREFIX (default /tmp/tarnwell-bench-wine; the 64-bit
# prefix is that name with "64" appended, made on first use).
#
# The old file goes to app/NAME with the update program app/update.exe beside
# it (scripts/make-self-contained.sh over a folder patch that
# build/tarnwell-make makes of app/ and new/app/); wine_driver.exe answers
# Yes, waits for the end and exits, as tests/wine/run_wine_tests.sh does, and
# app/NAME must then equal the new file.
# Windows calls: one extra run with WINEDEBUG=+pid,+file, whose ntdll traces
# (NtCreateFile, NtReadFile and NtWriteFile with the bytes they moved,
# NtSetInformationFile, ...) are counted for the one Wine process that opens
# the target file. Host calls: one extra run under strace -f -y; the threads
# are grouped into processes along clone(), and the read/write calls of the
# process that touches the target file are counted by what their descriptor
# names: the data files (the work folder and the prefix's user folders, where
# the applier's temporary files live), other files (libraries, fonts,
# registry), or pipes and sockets (mostly the wineserver protocol). Files are
# opened by the wineserver, not by the process, so opens are not among the
# host calls. The times come from runs without any tracing.
set -u

self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
root=$(cd "$(dirname "$0")/.." && pwd)

have() { command -v "$1" >/dev/null 2>&1; }

# --- counting (used by the inner part, inside the Wine session) ------------

# wine_counts LOG NEEDLE: counts of the Wine process whose NtCreateFile names
# NEEDLE (as the trace prints it, backslashes doubled), as NAME=VALUE lines.
wine_counts() {
  NEEDLE=$2 awk '
    function fn(line,   s) { s = line; sub(/^[^ ]* /, "", s); return s }
    NR == FNR {
      if (pid == "" && index($0, ":trace:file:NtCreateFile ") && index($0, ENVIRON["NEEDLE"]))
        pid = substr($0, 1, index($0, ":") - 1)
      next
    }
    substr($0, 1, length(pid) + 1) != pid ":" { next }
    {
      at = index($0, ":trace:file:Nt"); if (!at) next
      rest = substr($0, at + 12); name = rest; sub(/ .*/, "", name)
      after = substr(rest, length(name) + 2)
      if (substr(after, 1, 2) == "= ") {  # the return line: bytes moved
        if (name == "NtReadFile" || name == "NtWriteFile") {
          n = after; if (n ~ /\([0-9]+\)$/) { sub(/.*\(/, "", n); sub(/\)$/, "", n); bytes[name] += n }
        }
        next
      }
      calls[name]++
      if (name == "NtCreateFile") {
        f = tolower(after); sub(/.*name=l"/, "", f); sub(/".*/, "", f)
        if (f !~ /\\\\windows\\\\|\\\\usr\\\\share\\\\wine|\.(dll|drv|nls|ttf|ttc|fon|msstyles|sys|ocx)$/) data_opens++
      }
      if (name == "NtSetInformationFile") {
        c = after; sub(/\).*/, "", c); sub(/.*,/, "", c)
        if (c == "0x0000000e") seeks++
      }
    }
    END {
      if (pid == "") { print "pid=none"; exit }
      print "pid=" pid
      for (k in calls) print "call_" k "=" calls[k]
      printf "bytes_NtReadFile=%d\nbytes_NtWriteFile=%d\n", bytes["NtReadFile"], bytes["NtWriteFile"]
      printf "data_opens=%d\nseeks=%d\n", data_opens, seeks
    }' "$1" "$1"
}

# host_counts LOG TARGET DATA_PREFIX...: counts of the host process (all its
# threads) that reads or writes TARGET, from strace -f -y output.
host_counts() {
  local log=$1 target=$2
  shift 2
  TARGET=$target DATA="$*" awk '
    function tgid(t) { return (t in tg) ? tg[t] : t }
    function kind(path,   i, n, d) {
      n = split(ENVIRON["DATA"], d, " ")
      for (i = 1; i <= n; i++) if (index(path, d[i]) == 1) return "data"
      if (path ~ /^\// && path !~ /^\/dev\//) return "file"
      return "ipc"
    }
    BEGIN { target = ENVIRON["TARGET"] }
    {
      tid = $1; line = substr($0, length(tid) + 2)
      if (line ~ /^(\+\+\+|---)/) next
      if (line ~ /<unfinished \.\.\.>$/) { sub(/ *<unfinished \.\.\.>$/, "", line); pending[tid] = line; next }
      if (line ~ /^<\.\.\. [a-z0-9_]+ resumed>/) { sub(/^<\.\.\. [a-z0-9_]+ resumed>/, "", line); line = pending[tid] line; delete pending[tid] }
      sc = line; sub(/\(.*/, "", sc)
      ret = line; sub(/.*\) += /, "", ret); sub(/ .*/, "", ret)
      if (sc ~ /^(clone|clone3|fork|vfork)$/) {
        if (ret ~ /^[0-9]+$/ && ret > 0) tg[ret] = (line ~ /CLONE_THREAD/) ? tgid(tid) : ret
        next
      }
      if (sc !~ /^(read|write|pread64|pwrite64|readv|writev|preadv|pwritev|preadv2|pwritev2|lseek|fsync|fdatasync|ftruncate|fallocate|copy_file_range|sendfile)$/) next
      path = line; if (!sub(/^[^(]*\([0-9]+</, "", path)) next
      sub(/>.*/, "", path); sub(/ \(deleted\)$/, "", path)
      g = tgid(tid)
      if (path == target) owner[g] = 1
      k = kind(path); key = g SUBSEP sc SUBSEP k
      calls[key]++
      if (ret ~ /^[0-9]+$/ && sc != "lseek") bytes[key] += ret
      seen[g] = 1
    }
    END {
      for (g in owner) { pid = g; break }
      if (pid == "") { print "pid=none"; exit }
      print "pid=" pid
      for (key in calls) {
        split(key, p, SUBSEP)
        if (p[1] == pid) { print "h_" p[2] "_" p[3] "=" calls[key]; print "hb_" p[2] "_" p[3] "=" bytes[key] + 0 }
      }
    }' "$log"
}

# --- the inner part: runs inside one Xvfb display and warm Wine session ----

if [[ ${1:-} == --inner ]]; then
  # From the outer part: work name new new_win copy_win win loader runs
  winpath() { local p=$1; echo "Z:${p//\//\\}"; }
  drive_apply() {  # fresh app folder; runs the update program through the driver
    "$loader" "$win/wine_driver.exe" --timeout 600000 --cd "$(winpath "$work/run/app")" \
      "$(winpath "$work/run/app/update.exe")" -- \
      box press 6 window 'Kestrin GUI' until 'hidden enabled 0x40000300' click Button 1 exit 0
  }
  # An update program that was written just now has its patch copied out of
  # it again for the second pass (OsSettledFor): a downloaded one is older.
  fresh_app() {
    rm -rf "$work/run" && mkdir -p "$work/run/app" &&
      cp -p "$work/app/$name" "$work/app/update.exe" "$work/run/app/" &&
      touch -d '1 hour ago' "$work/run/app/update.exe" && sync
  }
  do_copy() { "$loader" cmd /c copy /b /y "$new_win" "$copy_win"; }
  fresh_copy() { rm -rf "$work/copy" && mkdir -p "$work/copy" && sync; }
  apply_ok() { cmp -s "$work/run/app/$name" "$new"; }

  median() { sort -g | awk '{ a[NR] = $1 } END { if (NR) print a[int((NR + 1) / 2)]; else print "n/a" }'; }
  # timed SETUP COMMAND CHECK: median wall seconds, n/a when a run fails.
  timed() {
    local i t0 t1 out=()
    for ((i = 0; i < runs; i++)); do
      $1 || { echo n/a; return; }
      t0=$EPOCHREALTIME
      $2 >>"$work/timed.log" 2>&1 || { echo n/a; return; }
      t1=$EPOCHREALTIME
      $3 || { echo "n/a(WRONG)"; return; }
      out+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')")
    done
    printf '%s\n' "${out[@]}" | median
  }
  true_() { true; }
  copy_ok() { cmp -s "$work/copy/$name" "$new"; }
  cmd_exit() { "$loader" cmd /c exit; }

  t_apply=$(timed fresh_app drive_apply apply_ok)
  t_copy=$(timed fresh_copy do_copy copy_ok)
  t_start=$(timed true_ cmd_exit true_)

  # Windows calls, one traced run each.
  declare -A A C
  check=WRONG
  fresh_app
  if WINEDEBUG=+pid,+file drive_apply >"$work/apply-driver.log" 2>"$work/apply-wine.log"; then
    apply_ok && check=ok
    while IFS='=' read -r k v; do A[$k]=$v; done < <(wine_counts "$work/apply-wine.log" "\\\\app\\\\$name\"")
  fi
  fresh_copy
  if WINEDEBUG=+pid,+file do_copy >/dev/null 2>"$work/copy-wine.log"; then
    copy_ok || check="$check, copy WRONG"
    while IFS='=' read -r k v; do C[$k]=$v; done < <(wine_counts "$work/copy-wine.log" "\\\\copy\\\\$name\"")
  fi
  # Host calls.
  declare -A HA HC
  data="$work/ $WINEPREFIX/drive_c/users/ $WINEPREFIX/dosdevices/c:/users/"
  tr='read,write,pread64,pwrite64,readv,writev,preadv,pwritev,preadv2,pwritev2,lseek,fsync,fdatasync,ftruncate,fallocate,copy_file_range,sendfile,clone,clone3,fork,vfork'
  if have strace; then
    fresh_app
    if strace -f -y -qq -e trace=$tr -o "$work/apply.strace" bash -c "$(declare -f winpath drive_apply); drive_apply" \
         >/dev/null 2>&1 && apply_ok; then
      while IFS='=' read -r k v; do HA[$k]=$v; done < <(host_counts "$work/apply.strace" "$work/run/app/$name" $data)
    fi
    fresh_copy
    if strace -f -y -qq -e trace=$tr -o "$work/copy.strace" "$loader" cmd /c copy /b /y "$new_win" "$copy_win" >/dev/null 2>&1; then
      while IFS='=' read -r k v; do HC[$k]=$v; done < <(host_counts "$work/copy.strace" "$work/copy/$name" $data)
    fi
  fi

  val() { local -n m=$1; echo "${m[$2]:-0}"; }
  have_w() { local -n m=$1; [[ -n ${m[pid]:-} && ${m[pid]} != none ]]; }
  # row LABEL APPLIER COPY
  row() { printf '  %-44s %14s %14s\n' "$1" "$2" "$3"; }
  mb() { awk -v b="$1" 'BEGIN { printf "%.2f", b / 1048576 }'; }
  per() { awk -v b="$1" -v n="$2" 'BEGIN { if (n > 0) printf "%.0f", b / n; else print "-" }'; }
  wrow() {  # LABEL EXPR(map) : a Windows-call row
    local label=$1 f=$2 a=n/a c=n/a
    have_w A && a=$($f A)
    have_w C && c=$($f C)
    row "$label" "$a" "$c"
  }
  w_open() { val "$1" call_NtCreateFile; }
  w_open_data() { val "$1" data_opens; }
  w_read() { val "$1" call_NtReadFile; }
  w_read_mb() { mb "$(val "$1" bytes_NtReadFile)"; }
  w_read_avg() { per "$(val "$1" bytes_NtReadFile)" "$(val "$1" call_NtReadFile)"; }
  w_write() { val "$1" call_NtWriteFile; }
  w_write_mb() { mb "$(val "$1" bytes_NtWriteFile)"; }
  w_write_avg() { per "$(val "$1" bytes_NtWriteFile)" "$(val "$1" call_NtWriteFile)"; }
  w_set() { val "$1" call_NtSetInformationFile; }
  w_seek() { val "$1" seeks; }
  w_query() { val "$1" call_NtQueryInformationFile; }
  w_dir() { val "$1" call_NtQueryDirectoryFile; }
  w_other() {
    local -n m=$1
    local k n=0
    for k in "${!m[@]}"; do
      case $k in
        call_NtCreateFile | call_NtReadFile | call_NtWriteFile | call_NtSetInformationFile | \
          call_NtQueryInformationFile | call_NtQueryDirectoryFile) ;;
        call_*) n=$((n + m[$k])) ;;
      esac
    done
    echo "$n"
  }
  w_other_names() {
    local -n m=$1
    local k out=()
    for k in "${!m[@]}"; do
      case $k in
        call_NtCreateFile | call_NtReadFile | call_NtWriteFile | call_NtSetInformationFile | \
          call_NtQueryInformationFile | call_NtQueryDirectoryFile) ;;
        call_*) out+=("${k#call_} ${m[$k]}") ;;
      esac
    done
    printf '%s\n' "${out[@]}" | sort | paste -sd, - | sed 's/,/, /g'
  }
  # Host rows: the sum of some calls of one kind of descriptor.
  h_sum() {  # MAP PREFIX(h_ or hb_) KIND CALL...
    local -n m=$1
    local p=$2 kind=$3 n=0 c
    shift 3
    for c in "$@"; do n=$((n + ${m[${p}${c}_$kind]:-0})); done
    echo "$n"
  }
  hrow() {  # LABEL KIND CALL...: calls, and bytes per call when moving bytes
    local label=$1 kind=$2 a=n/a c=n/a
    shift 2
    if [[ -n ${HA[pid]:-} && ${HA[pid]} != none ]]; then a=$(h_sum HA h_ "$kind" "$@"); fi
    if [[ -n ${HC[pid]:-} && ${HC[pid]} != none ]]; then c=$(h_sum HC h_ "$kind" "$@"); fi
    row "$label" "$a" "$c"
  }
  hbrow() {
    local label=$1 kind=$2 a=n/a c=n/a
    shift 2
    if [[ -n ${HA[pid]:-} && ${HA[pid]} != none ]]; then
      a=$(per "$(h_sum HA hb_ "$kind" "$@")" "$(h_sum HA h_ "$kind" "$@")"); fi
    if [[ -n ${HC[pid]:-} && ${HC[pid]} != none ]]; then
      c=$(per "$(h_sum HC hb_ "$kind" "$@")" "$(h_sum HC h_ "$kind" "$@")"); fi
    row "$label" "$a" "$c"
  }

  echo "pair $pair_name, app/$name: old $(stat -c %s "$work/app/$name") B, new $(stat -c %s "$new") B, patch $(stat -c %s "$work/patch.twp") B; result $check"
  row "" "update.exe" "cmd copy"
  echo "Windows calls of the process (WINEDEBUG=+file traces):"
  wrow "NtCreateFile (all, DLL loading included)" w_open
  wrow "NtCreateFile (data: no DLL, nothing of Wine)" w_open_data
  wrow "NtReadFile" w_read
  wrow "  MB read" w_read_mb
  wrow "  bytes per NtReadFile" w_read_avg
  wrow "NtWriteFile" w_write
  wrow "  MB written" w_write_mb
  wrow "  bytes per NtWriteFile" w_write_avg
  wrow "NtSetInformationFile" w_set
  wrow "  of which seeks (FilePositionInformation)" w_seek
  wrow "NtQueryInformationFile" w_query
  wrow "NtQueryDirectoryFile" w_dir
  wrow "other Nt*File calls" w_other
  echo "Host system calls of the process (strace -f -y), data files:"
  hrow "read + pread64 (+readv...)" data read pread64 readv preadv preadv2
  hbrow "  bytes per read" data read pread64 readv preadv preadv2
  hrow "write + pwrite64 (+writev...)" data write pwrite64 writev pwritev pwritev2
  hbrow "  bytes per write" data write pwrite64 writev pwritev pwritev2
  hrow "lseek" data lseek
  hrow "fsync, fdatasync, ftruncate, fallocate" data fsync fdatasync ftruncate fallocate
  echo "  ... other files (libraries, fonts, registry) and pipes/sockets (wineserver):"
  hrow "read/write calls on other files" file read pread64 readv preadv write pwrite64 writev pwritev lseek
  hrow "read/write calls on pipes and sockets" ipc read pread64 readv preadv write pwrite64 writev pwritev
  echo "Wall time, median of $runs runs without tracing (s):"
  row "whole run (start to exit)" "$t_apply" "$t_copy"
  row "a Wine process doing nothing (cmd /c exit)" "" "$t_start"
  others_a=n/a others_c=n/a
  have_w A && others_a=$(w_other_names A)
  have_w C && others_c=$(w_other_names C)
  echo "other Nt*File calls: update.exe: ${others_a:-none}; copy: ${others_c:-none}"
  exit 0
fi

# --- the outer part: setup, then the Wine session ---------------------------

dir=${1:?usage: wine_calls.sh PAIRS_DIR}
name=${PAIR:-libjvm}
build=${BUILD:-$root/build}
win=$(cd "${BUILD_WIN64:-$root/build-win64}" 2>/dev/null && pwd)
export runs=${RUNS:-3}
pair=$dir/pairs/$name
for f in "$build/tarnwell-make" "$win/tarnwell64.exe" "$win/wine_driver.exe"; do
  [[ -n $win && -f $f ]] || { echo "wine_calls: no $f; build it first (n/a)"; exit 0; }
done
[[ -f $pair/old && -f $pair/new ]] || { echo "wine_calls: no $pair/{old,new}; run make_pairs.sh $dir first (n/a)"; exit 0; }

export TARNWELL_WINEPREFIX=${TARNWELL_WINEPREFIX:-/tmp/tarnwell-bench-wine}
export TARNWELL_WINE_ARCH=64
# shellcheck source=../scripts/wine-env.sh
if ! . "$root/scripts/wine-env.sh" || [[ ! -x /usr/lib/wine/wine64 ]]; then
  echo "wine_calls: no 64-bit Wine here (n/a)"
  exit 0
fi
if [[ -z ${DISPLAY:-} ]] && ! have xvfb-run; then
  echo "wine_calls: no display and no xvfb-run (n/a)"
  exit 0
fi

work=$(mktemp -d /tmp/tarnwell-wine-calls.XXXXXX)
if [[ -n ${KEEP:-} ]]; then
  echo "wine_calls: the logs stay in $work"
else
  trap 'rm -rf "$work"' EXIT
fi
# The file's name in the application folder: the pair's name, a library
# (libjvm, libcrypto) with ".so" as it is installed.
file=$name
[[ $file == lib* && $file != *.so* ]] && file=$file.so
mkdir -p "$work/app" "$work/new/app"
cp "$pair/old" "$work/app/$file"
cp "$pair/new" "$work/new/app/$file"
if ! "$build/tarnwell-make" -q "$work/app" "$work/new/app" -o "$work/patch.twp" >"$work/make.log" 2>&1; then
  echo "wine_calls: tarnwell-make failed (n/a)"; sed 's/^/  /' "$work/make.log"; exit 0
fi
if ! "$root/scripts/make-self-contained.sh" "$win/tarnwell64.exe" "$work/patch.twp" "$work/app/update.exe"; then
  echo "wine_calls: make-self-contained.sh failed (n/a)"; exit 0
fi
winpath() { local p=$1; echo "Z:${p//\//\\}"; }
export work win pair_name=$name name=$file new=$work/new/app/$file loader=/usr/lib/wine/wine64
export new_win=$(winpath "$work/new/app/$file") copy_win=$(winpath "$work/copy/$file")
tarnwell_headless bash "$self" --inner
exit 0

#!/usr/bin/env bash
# Runs tarnwell.exe under Wine the way a user would, through wine_driver.exe.
#   tests/wine/run_wine_tests.sh BUILD_WIN BUILD_NATIVE
# BUILD_WIN holds tarnwell.exe and wine_driver.exe; BUILD_NATIVE the native
# make_fixtures. Screenshots and driver logs go to $TARNWELL_WINE_OUT
# (default BUILD_WIN/wine-test-output).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
win=$(cd "$1" && pwd)
native=$(cd "$2" && pwd)
out=${TARNWELL_WINE_OUT:-$win/wine-test-output}
rm -rf "$out"
mkdir -p "$out/fixtures"
. "$here/../../scripts/wine-env.sh" || exit 1

failures=0
pass() { echo "PASS $1"; }
fail() { echo "FAIL $1"; failures=$((failures + 1)); }

# The executable must be a 32-bit GUI program that needs nothing beyond
# Windows' own DLLs.
dump=$(i686-w64-mingw32-objdump -p "$win/tarnwell.exe")
allowed='^(KERNEL32|USER32|GDI32|COMDLG32|ADVAPI32|msvcrt)\.(dll|DLL)$'
bad=$(echo "$dump" | sed -n 's/^\s*DLL Name: //p' | grep -viE "$allowed" || true)
if grep -q 'Magic.*010b' <<<"$dump" && grep -q 'Subsystem.*Windows GUI' <<<"$dump" &&
   [[ -z $bad ]]; then
  pass "tarnwell.exe is a 32-bit GUI program importing only system DLLs"
else
  fail "tarnwell.exe imports or format (unexpected: ${bad:-none})"
fi

"$native/make_fixtures" "$out/fixtures" || exit 1
# Wine maps / to drive Z:. (winepath would start a wineserver without a
# display, and the next program would inherit that headless desktop.)
winpath() { local p=$1; echo "Z:${p//\//\\}"; }
fixtures_win=$(winpath "$out/fixtures")

# drive NAME EXPECTED_SUBSTRING... -- DRIVER ARGS: runs the driver, keeps its
# log, and checks that every expected text appears in it.
drive() {
  local name=$1
  shift
  local -a expect=()
  while [[ $1 != -- ]]; do expect+=("$1"); shift; done
  shift
  local log="$out/$name.log"
  tarnwell_headless wine "$win/wine_driver.exe" "$@" >"$log" 2>&1
  local rc=$?
  local ok=1
  ((rc == 0)) || ok=0
  for e in "${expect[@]}"; do grep -qF -- "$e" "$log" || { ok=0; echo "  missing: $e"; }; done
  if ((ok)); then pass "$name"; else fail "$name (driver exit $rc, log $log)"; sed 's/^/  | /' "$log"; fi
}

drive no_arguments 'caption "命令列的使用方法 "' -- \
  "$win/tarnwell.exe" -- box press 1 exit 1
drive usage 'caption "命令列的使用方法 "' '用法: Patchname [舊檔案]' -- \
  "$win/tarnwell.exe" -h -- box press 1 exit 1
drive not_a_patch 'caption "更新有錯誤 "' 'notapatch.bin' -- \
  "$win/tarnwell.exe" "$fixtures_win\\notapatch.bin" -- box press 1 exit 255
drive format_191 'caption "更新有錯誤 "' 'format-191' -- \
  "$win/tarnwell.exe" "$fixtures_win\\v191.bin" -- box press 1 exit 255
drive compressed 'caption "更新有錯誤 "' '不支援內部壓縮的功能' -- \
  "$win/tarnwell.exe" "$fixtures_win\\compressed.bin" -- box press 1 exit 255

if ((failures)); then
  echo "wine tests: $failures failed"
  exit 1
fi
echo "wine tests: all passed"

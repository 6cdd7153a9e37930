# Source this (bash) to run the cross-built Windows programs under Wine:
#   . scripts/wine-env.sh                              # 32-bit programs (build-win)
#   TARNWELL_WINE_ARCH=64 . scripts/wine-env.sh        # 64-bit programs (build-win64)
#   tarnwell_headless ctest --test-dir build-win       # GUI tests: Xvfb + one warm Wine session
#   tarnwell_headless wine build-win/wine_driver.exe build-win/tarnwell.exe -- box press 1 exit 0
#   wine build-win/some_test.exe                       # console-only programs need no display
# Each architecture has its own prefix: $TARNWELL_WINEPREFIX (default
# /tmp/tarnwell-wine) for 32-bit programs, the same with "64" appended for
# 64-bit ones; a prefix is created on first use and reused afterwards.
# tarnwell_wine_arches (defined here too), or running this script with
# --arches, prints the architectures this host can run.

# Some kernels refuse every 32-bit program ("Exec format error"), and then
# Debian's 32-bit loader cannot start while the 64-bit one can: asking each
# loader for its version tells them apart. TARNWELL_WINE_ARCHES narrows the
# answer, to try a host of the other kind.
tarnwell_wine_arches() {
  local arch loader
  for arch in 32 64; do
    [[ -z ${TARNWELL_WINE_ARCHES:-} || " $TARNWELL_WINE_ARCHES " == *" $arch "* ]] || continue
    loader=/usr/lib/wine/wine; [[ $arch == 64 ]] && loader=/usr/lib/wine/wine64
    "$loader" --version >/dev/null 2>&1 && echo "$arch"
  done
  return 0
}

# Run (not sourced) with --arches, it only prints them: 32 and/or 64, one a line.
if [[ ${1:-} == --arches ]]; then
  tarnwell_wine_arches
  return 0 2>/dev/null || exit 0
fi

_tarnwell_wine_base=${TARNWELL_WINEPREFIX:-/tmp/tarnwell-wine}
_tarnwell_wine_base=${_tarnwell_wine_base%/}
case ${TARNWELL_WINE_ARCH:-32} in
  32)
    export WINEPREFIX=$_tarnwell_wine_base WINEARCH=win32 WINELOADER=/usr/lib/wine/wine ;;
  64)
    # A 64-bit prefix also runs 32-bit programs where the host allows, but
    # must not be told WINEARCH=win32.
    export WINEPREFIX=${_tarnwell_wine_base}64 WINELOADER=/usr/lib/wine/wine64
    unset WINEARCH ;;
  *)
    echo "wine-env.sh: TARNWELL_WINE_ARCH must be 32 or 64" >&2
    return 1 2>/dev/null || exit 1 ;;
esac
# /usr/bin/wine starts the 32-bit loader whenever wine32 is installed, even
# where the kernel cannot run it; everything here that says "wine" (scripts,
# ctest's emulator, a subshell) must reach the chosen loader instead.
_tarnwell_wine_bin=$WINEPREFIX.bin
# A script, not a link: the loader finds its companions by its own name.
mkdir -p "$_tarnwell_wine_bin" &&
  printf '#!/bin/sh\nexec %s "$@"\n' "$WINELOADER" >"$_tarnwell_wine_bin/wine.new" &&
  chmod +x "$_tarnwell_wine_bin/wine.new" && mv -f "$_tarnwell_wine_bin/wine.new" "$_tarnwell_wine_bin/wine"
case ":$PATH:" in
  *":$_tarnwell_wine_bin:"*) ;;
  *) export PATH=$_tarnwell_wine_bin:$PATH ;;
esac
export WINEDEBUG=-all
# Wine takes the ANSI code page from LANG on every start, not just when the
# prefix is made: zh_TW.UTF-8 gives ACP 950 (Big5) and Chinese system dialogs,
# while LANG=C.UTF-8 in the same prefix gives 1252. LC_ALL would override it.
# LANGUAGE=en keeps Unix tools' messages English for greps; Wine ignores it.
export LANG=zh_TW.UTF-8 LANGUAGE=en
unset LC_ALL

# Bump when the settings below change, so existing prefixes pick them up.
_TARNWELL_WINE_SETUP=2

_tarnwell_wine_init() {
  if ! "$WINELOADER" --version >/dev/null 2>&1; then
    echo "wine-env.sh: this host cannot start $WINELOADER (tarnwell_wine_arches tells what it runs)" >&2
    return 1
  fi
  local marker="$WINEPREFIX/.tarnwell-ready"
  [[ $(cat "$marker" 2>/dev/null) == "$_TARNWELL_WINE_SETUP" ]] && return 0
  if [[ ! -f $WINEPREFIX/system.reg ]]; then
    if [[ -d $WINEPREFIX/drive_c && ! -L $WINEPREFIX ]]; then
      # A prefix whose creation was cut short, or that lost its registry:
      # nothing in it is worth keeping.
      echo "wine-env.sh: $WINEPREFIX is a damaged Wine prefix; making it again" >&2
      rm -rf "$WINEPREFIX"
    elif [[ -e $WINEPREFIX && -n $(ls -A "$WINEPREFIX") ]]; then
      echo "wine-env.sh: $WINEPREFIX exists and is no Wine prefix; refusing to wipe it" >&2
      return 1
    fi
    # Without these overrides wineboot offers to download Mono and Gecko,
    # which cannot work offline and only slows prefix creation.
    WINEDLLOVERRIDES="mscoree,mshtml=" wine wineboot -i >/dev/null 2>&1 || true
  fi
  # Xvfb has no window manager. Managed windows would make Wine wait 2 s for
  # one on every DestroyWindow of a visible window; unmanaged ones are also
  # drawn with Wine's own captions, so screenshots show them. A crash must
  # fail the test rather than wait in a dialog.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 &&
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 ||
    { echo "wine-env.sh: could not configure $WINEPREFIX" >&2; return 1; }
  # Debian's Wine does not look in /usr/share/wine/fonts, and without Marlett
  # the caption buttons are drawn as the letters "0 1 r".
  ln -sf /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  # The registry reaches the disk only when the wineserver exits.
  wineserver -w
  # wineboot records the code page it derived from LANG: 950 proves that glibc
  # knows zh_TW.UTF-8. Without it Wine falls back to 1252 and every Big5 text
  # comes out as Latin-1 mojibake.
  if ! grep -q '^"ACP"="950"' "$WINEPREFIX/system.reg" 2>/dev/null; then
    echo "wine-env.sh: prefix $WINEPREFIX has no ACP 950; generate the zh_TW.UTF-8 locale (scripts/install-deps.sh), delete the prefix and retry" >&2
    return 1
  fi
  echo "$_TARNWELL_WINE_SETUP" > "$marker"
}

# Runs a command (best: a whole test run, e.g. ctest) with one warm Wine
# session, on a private Xvfb display unless DISPLAY is already set.
# Why warm: the first Wine process of a session starts services.exe and
# friends, which inherit its stdout; whoever reads that pipe (ctest, $(...))
# then waits until they exit, about 2.5 s after every single program. Starting
# them here detached from any pipe, and keeping the wineserver up, brings a
# test executable down to ~0.05 s. The final kill also makes sure no Wine
# process outlives its display; it ends every Wine program of this prefix, so
# give concurrent runs their own TARNWELL_WINEPREFIX.
tarnwell_headless() {
  local session='
    wineserver -p </dev/null >/dev/null 2>&1
    wine cmd /c exit </dev/null >/dev/null 2>&1
    rc=0; "$@" || rc=$?
    wineserver -k 2>/dev/null
    exit $rc'
  if [[ -n ${DISPLAY:-} ]]; then
    bash -c "$session" tarnwell_headless "$@"
  else
    xvfb-run -a -s '-screen 0 1024x768x24' bash -c "$session" tarnwell_headless "$@"
  fi
}

# Serialised so that parallel test jobs do not create the same prefix twice.
if ! { flock 9 && _tarnwell_wine_init; } 9>"${WINEPREFIX%/}.lock"; then
  echo "wine-env.sh: Wine prefix setup failed" >&2
  return 1 2>/dev/null || exit 1
fi

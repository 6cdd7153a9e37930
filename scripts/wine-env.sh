# Source this (bash) to run the cross-built 32-bit .exe files under Wine:
#   . scripts/wine-env.sh
#   tarnwell_headless ctest --test-dir build-win       # GUI tests: Xvfb + one warm Wine session
#   tarnwell_headless wine build-win/wine_driver.exe build-win/tarnwell.exe -- box press 1 exit 0
#   wine build-win/some_test.exe                         # console-only programs need no display
# The prefix lives in $TARNWELL_WINEPREFIX (default /tmp/tarnwell-wine), is
# created on first use and reused afterwards.

export WINEPREFIX="${TARNWELL_WINEPREFIX:-/tmp/tarnwell-wine}"
# Debian's wine32:i386 alone has no 64-bit loader, so only a 32-bit prefix works.
export WINEARCH=win32
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
  local marker="$WINEPREFIX/.tarnwell-ready"
  [[ $(cat "$marker" 2>/dev/null) == "$_TARNWELL_WINE_SETUP" ]] && return 0
  if [[ ! -f $WINEPREFIX/system.reg ]]; then
    if [[ -e $WINEPREFIX && -n $(ls -A "$WINEPREFIX") ]]; then
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

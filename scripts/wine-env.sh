# Source this (bash) to run the cross-built 32-bit .exe files under Wine:
#   . scripts/wine-env.sh
#   tarnwell_headless wine build-win/tarnwell.exe ...   # GUI: under Xvfb unless DISPLAY is set
#   wine build-win/some_test.exe                         # console-only programs need no display
# The prefix lives in $TARNWELL_WINEPREFIX (default /tmp/tarnwell-wine), is
# created on first use and reused afterwards. It is disposable: a directory
# that is not a finished prefix of this script's making gets wiped.

export WINEPREFIX="${TARNWELL_WINEPREFIX:-/tmp/tarnwell-wine}"
# Debian's wine32:i386 alone has no 64-bit loader, so only a 32-bit prefix works.
export WINEARCH=win32
export WINEDEBUG=-all
# Wine picks the ANSI code page from the locale; zh_TW.UTF-8 gives ACP 950
# (Big5) and Chinese system dialogs. LC_ALL would override LANG, so drop it.
export LANG=zh_TW.UTF-8
unset LC_ALL

_tarnwell_wine_init() {
  local marker="$WINEPREFIX/.tarnwell-ready"
  [[ -f $marker ]] && return 0
  if [[ -e $WINEPREFIX && ! -f $WINEPREFIX/system.reg && -n $(ls -A "$WINEPREFIX") ]]; then
    echo "wine-env.sh: $WINEPREFIX exists and is no Wine prefix; refusing to wipe it" >&2
    return 1
  fi
  rm -rf "$WINEPREFIX"
  # Without these overrides wineboot offers to download Mono and Gecko,
  # which cannot work offline and only slows prefix creation.
  WINEDLLOVERRIDES="mscoree,mshtml=" wine wineboot -i >/dev/null 2>&1 || true
  # Xvfb has no window manager: let Wine draw captions itself so screenshots
  # show them. A crash must fail the test rather than wait in a dialog.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1 &&
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 ||
    { echo "wine-env.sh: could not configure $WINEPREFIX" >&2; return 1; }
  # The registry reaches the disk only when the wineserver exits.
  wineserver -w
  # The code page is fixed when the prefix is made; a prefix made under
  # another locale would silently turn Big5 text into '?'.
  if ! grep -q '^"ACP"="950"' "$WINEPREFIX/system.reg" 2>/dev/null; then
    echo "wine-env.sh: prefix $WINEPREFIX has no ACP 950; is the zh_TW.UTF-8 locale generated (scripts/install-deps.sh)?" >&2
    return 1
  fi
  echo "$LANG" > "$marker"
}

# Runs a command on a virtual X display unless one is already available.
# Waits for the wineserver before the display goes away: a Wine process still
# bound to a dead display breaks the next run that reuses the prefix.
tarnwell_headless() {
  if [[ -n ${DISPLAY:-} ]]; then
    "$@"
  else
    xvfb-run -a -s '-screen 0 1024x768x24' bash -c '"$@"; rc=$?; wineserver -w; exit $rc' tarnwell_headless "$@"
  fi
}

# Serialised so that parallel test jobs do not create the same prefix twice.
if ! { flock 9 && _tarnwell_wine_init; } 9>"${WINEPREFIX%/}.lock"; then
  echo "wine-env.sh: Wine prefix setup failed" >&2
  return 1 2>/dev/null || exit 1
fi

#!/usr/bin/env bash
# Installs everything needed to build and test Tarnwell on Debian 12, as root.
#   scripts/install-deps.sh                native build + MinGW/Wine/Xvfb test stack
#   scripts/install-deps.sh --native-only  native build only
# Safe to re-run: when every package and the zh_TW.UTF-8 locale are already
# present it touches neither apt nor the network and finishes in about a second.
set -euo pipefail

native_only=0
for arg in "$@"; do
  case "$arg" in
    --native-only) native_only=1 ;;
    -h|--help) sed -n '2,5p' "$0"; exit 0 ;;
    *) echo "install-deps.sh: unknown argument: $arg" >&2; exit 2 ;;
  esac
done

if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps.sh: must run as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# Recommends would pull in hundreds of MB (desktop integration, GStreamer,
# Ghostscript) that neither the build nor the headless tests use.
APT_INSTALL=(apt-get install -y -q --no-install-recommends
             -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold)

# libclang-rt-14-dev (only a Recommends of clang) holds libFuzzer and clang's
# sanitizer runtimes, which the fuzz build links.
native_pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev googletest libbenchmark-dev
             libdivsufsort-dev)
# wine32:i386 is what runs the 32-bit tarnwell.exe and wine64 the 64-bit
# build; hosts whose kernel refuses 32-bit programs install wine32 all the
# same, but can run only wine64 (scripts/wine-env.sh --arches tells). The
# plain "wine" package provides the /usr/bin/wine launcher. Arphic UMing supplies the CJK glyphs
# that Wine falls back to for Big5 text in message boxes and list boxes;
# fonts-wine (only a Recommends) has Marlett, without which Wine draws the
# caption buttons as stray letters in screenshots.
windows_pkgs=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64
              binutils-mingw-w64-x86-64 wine wine32:i386 wine64
              xvfb xauth xdotool imagemagick locales fonts-arphic-uming fonts-wine)

# Prints the packages from the arguments that are not fully installed.
missing_pkgs() {
  local p
  for p in "$@"; do
    if [[ $(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null) != ii* ]]; then
      printf '%s\n' "$p"
    fi
  done
}

apt_updated=0
apt_update() {
  apt-get update -q
  apt_updated=1
}

install_missing() {
  local -a todo
  mapfile -t todo < <(missing_pkgs "$@")
  if ((${#todo[@]} == 0)); then
    return 0
  fi
  echo "install-deps.sh: installing ${todo[*]}"
  ((apt_updated)) || apt_update
  "${APT_INSTALL[@]}" "${todo[@]}"
}

install_missing "${native_pkgs[@]}"

if ((native_only)); then
  echo "install-deps.sh: native dependencies ready"
  exit 0
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  # The package lists fetched so far have no i386 entries.
  apt_updated=0
fi
install_missing "${windows_pkgs[@]}"

# Wine derives the ANSI code page (950 = Big5) from LANG when a prefix is
# created, and that only works if glibc knows the locale.
if ! locale -a 2>/dev/null | grep -qix 'zh_TW\.utf-\?8'; then
  if ! grep -qx 'zh_TW.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    echo 'zh_TW.UTF-8 UTF-8' >> /etc/locale.gen
  fi
  locale-gen
fi

echo "install-deps.sh: native and Windows test dependencies ready"

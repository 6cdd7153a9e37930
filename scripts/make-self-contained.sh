#!/usr/bin/env bash
# Makes a self-contained patch program: a copy of the applier with a patch
# file appended. The patch's trailer counts back from the end of the file, so
# the applier's own bytes in front of it are never read as patch data.
#   scripts/make-self-contained.sh APPLIER PATCH OUTPUT
# APPLIER is tarnwell.exe (or the console tarnwell); PATCH a patch file as the
# patch maker writes it; OUTPUT the program to hand to users.
set -euo pipefail
if (($# != 3)); then
  echo "usage: $0 APPLIER PATCH OUTPUT" >&2
  exit 2
fi
applier=$1 patch=$2 output=$3

# The last four bytes of a file that carries a patch: 43 84 7F 3E.
ends_in_magic() { [[ $(tail -c 4 "$1" | od -An -tx1 | tr -d ' \n') == 43847f3e ]]; }

for f in "$applier" "$patch"; do
  [[ -f $f && -r $f ]] || { echo "$0: cannot read $f" >&2; exit 1; }
done
if ! ends_in_magic "$patch"; then
  echo "$0: $patch is not a patch file" >&2
  exit 1
fi
# Every applier carries this text (app/applier_mark.h); any other program
# would run as itself and never see the patch.
mark='tarnwell applier: a patch appended to this program is applied by it'
if [[ $(head -c 4 "$applier" | od -An -tx1 | tr -d ' \n') != 4d5a* &&
      $(head -c 4 "$applier" | od -An -tx1 | tr -d ' \n') != 7f454c46 ]] ||
   ! grep -qaF "$mark" "$applier"; then
  echo "$0: $applier is not a tarnwell applier program" >&2
  exit 1
fi
# An applier that already carries a patch would hide the new one's prefix
# behind the old patch: still loadable, but twice the size and confusing.
if ends_in_magic "$applier"; then
  echo "$0: $applier already carries a patch; use the plain applier" >&2
  exit 1
fi
if [[ $(realpath -m "$output") == $(realpath "$applier") || $(realpath -m "$output") == $(realpath "$patch") ]]; then
  echo "$0: OUTPUT must be a new file" >&2
  exit 1
fi
tmp="$output.tmp.$$"
trap 'rm -f "$tmp"' EXIT
cat "$applier" "$patch" >"$tmp"
chmod 0755 "$tmp"
mv -f "$tmp" "$output"
trap - EXIT

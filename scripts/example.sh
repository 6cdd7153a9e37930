#!/usr/bin/env bash
# Builds the console applier, lays out a small installed application (a made-up
# game, version 1.0) and a patch to 1.1 in ./example, applies the patch and
# shows the result. Each run starts from a fresh example.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --native-only >/dev/null
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target tarnwell make_example >/dev/null
rm -rf example
build/make_example example build/tarnwell
echo
echo "== before: example/app"
find example/app -type f | sort | xargs ls -l
echo
echo "== build/tarnwell example/patch.bin example/app"
build/tarnwell example/patch.bin example/app
echo
echo "== after: example/app (the old files are in example/app/backup-1.0)"
find example/app -type f | sort | xargs ls -l

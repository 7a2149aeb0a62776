#!/usr/bin/env bash
# Installs dependencies, builds Klaventa and runs it. Without a display it
# converts a generated sample clip with the command-line converter instead.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
bash "$ROOT/scripts/install-deps.sh"
cmake -S "$ROOT" -B "$ROOT/build/release" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$ROOT/build/release" -j "$(nproc)"
BIN="$ROOT/build/release"
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1 && [ -x "$BIN/src/frontend/klaventa" ]; then
  exec "$BIN/src/frontend/klaventa" "$@"
fi
echo "No usable display (DISPLAY='${DISPLAY:-}'): the window cannot open here."
echo "Converting a generated sample with the default profile through klaventa-cli instead."
OUT="$ROOT/out"
mkdir -p "$OUT"
"$BIN/tests/klaventa-sample" "$OUT/sample.avi"
"$BIN/src/cli/klaventa-cli" -o "$OUT" --overwrite "$OUT/sample.avi"
echo "Output written to $OUT"

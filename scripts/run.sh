#!/usr/bin/env bash
# Builds Tovarine and starts the desktop application on the current display.
# Without a display it starts a private X server for the application and stops it afterwards.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVARINE_BUILD_BENCH=ON
cmake --build build/release -j "$(nproc)"

if [ "${1:-}" = "--demo" ]; then
  # The streaming road without hardware: the engine next to the companion simulator for ten
  # seconds. Without DISPLAY the demo starts a private X server of its own.
  shift
  exec build/release/tools/demo/tovarine-demo "$@"
fi

app=build/release/src/app/tovarine
if [ ! -x "$app" ]; then
  echo "Built everything in build/release, but the application is missing: $app" >&2
  exit 1
fi
# The resources the build laid out beside the executable, unless the caller names others.
export TOVARINE_RESOURCES=${TOVARINE_RESOURCES:-$root/build/release/src/app/resources}

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  displayfile=$(mktemp)
  exec {dfd}>"$displayfile"
  Xvfb -displayfd "$dfd" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  exec {dfd}>&-
  trap 'kill "$xvfb_pid" 2>/dev/null || true; rm -f "$displayfile"' EXIT
  for _ in $(seq 1 100); do
    [ -s "$displayfile" ] && break
    sleep 0.1
  done
  if [ ! -s "$displayfile" ]; then
    echo "No display, and Xvfb did not start" >&2
    exit 1
  fi
  export DISPLAY=":$(head -n1 "$displayfile")"
  echo "No display: running on a private X server at $DISPLAY"
  "$app" "$@"
  exit $?
fi

exec "$app" "$@"

#!/usr/bin/env bash
# Builds Tovarine and starts the desktop application on the current display.
# Without a display it starts a private X server for the application and stops it afterwards.
#
#   scripts/run.sh          the application
#   scripts/run.sh --demo   the application and the companion simulator, which plays a tablet on
#                           127.0.0.1:2345: a virtual display appears and frames stream without
#                           hardware. Without a display it runs for about 20 seconds on a private
#                           X server and saves screenshots and the frames the simulator received
#                           into a folder it names (TOVARINE_DEMO_OUT chooses it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

demo=false
if [ "${1:-}" = "--demo" ]; then
  demo=true
  shift
fi

bash scripts/setup.sh

# Only the programs this script runs: the application, and for the demo the companion simulator
# and the screenshot tool; the tests and benchmarks are scripts/test.sh's.
bin=build/release
app=$bin/src/app/tovarine
companion=$bin/tools/companion/tovarine-companion
screenshot=$bin/tools/screenshot/tovarine-screenshot
targets=(tovarine)
needed=("$app")
if $demo; then
  targets+=(tovarine-companion tovarine-screenshot)
  needed+=("$companion" "$screenshot")
fi
cmake -S . -B "$bin" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVARINE_BUILD_TESTS=OFF \
  -DTOVARINE_BUILD_BENCH=OFF >/dev/null
if [ ! -x "$app" ]; then
  echo "Building ${targets[*]} on $(nproc) cores (about 5 minutes on 8 cores the first time)..."
fi
cmake --build "$bin" -j "$(nproc)" --target "${targets[@]}"
for program in "${needed[@]}"; do
  if [ ! -x "$program" ]; then
    echo "The build ended, but a program is missing: $program" >&2
    exit 1
  fi
done
# The resources the build laid out beside the executable, unless the caller names others.
export TOVARINE_RESOURCES=${TOVARINE_RESOURCES:-$root/build/release/src/app/resources}

# Everything this script starts, ended (by process id) when it ends.
pids=()
temporaries=()
cleanup() {
  local pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  for path in "${temporaries[@]}"; do rm -rf "$path"; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A private X server with a 1920x1080 screen. It starts far larger and is shrunk through RandR,
# because an Xvfb screen never grows past the size it started with and a tablet's display is
# added beside the screen.
start_private_x() {
  local displayfile dfd output
  displayfile=$(mktemp)
  temporaries+=("$displayfile")
  exec {dfd}>"$displayfile"
  Xvfb -displayfd "$dfd" -screen 0 8192x4096x24 -noreset -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  exec {dfd}>&-
  for _ in $(seq 1 100); do
    [ -s "$displayfile" ] && break
    sleep 0.1
  done
  if [ ! -s "$displayfile" ]; then
    echo "No display, and Xvfb did not start" >&2
    exit 1
  fi
  export DISPLAY=":$(head -n1 "$displayfile")"
  output=$(xrandr | awk '$2 == "connected" { print $1; exit }')
  xrandr --newmode 1920x1080 0 1920 1920 1920 1920 1080 1080 1080 1080 &&
    xrandr --addmode "$output" 1920x1080 &&
    xrandr --output "$output" --mode 1920x1080 &&
    xrandr --fb 1920x1080 ||
    echo "warning: the private X server kept its full size; a tablet's display has no room" >&2
}

monitor_count() {
  xrandr --listmonitors 2>/dev/null | awk 'NR == 1 { print $2 }'
}

# Waits up to $2 seconds for the monitor count to become $1.
wait_for_monitors() {
  for _ in $(seq 1 $(($2 * 10))); do
    [ "$(monitor_count)" = "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

start_companion() {
  "$companion" "$@" &
  pids+=($!)
  sleep 0.5
  if ! kill -0 "${pids[-1]}" 2>/dev/null; then
    echo "The companion simulator did not start: is 127.0.0.1:2345 taken?" >&2
    exit 1
  fi
}

has_display() {
  [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]
}

if ! $demo; then
  if has_display; then
    exec "$app" "$@"
  fi
  start_private_x
  echo "No display: running on a private X server at $DISPLAY"
  status=0
  "$app" "$@" || status=$?
  exit $status
fi

# ---- The demo ----------------------------------------------------------------------------------

if has_display; then
  echo "Demo: the companion simulator plays a 1024x768 tablet on 127.0.0.1:2345;"
  echo "the application adds its display beside yours. Quit the application to end the demo."
  start_companion --quiet
  status=0
  "$app" "$@" || status=$?
  exit $status
fi

out=${TOVARINE_DEMO_OUT:-$(mktemp -d "${TMPDIR:-/tmp}/tovarine-demo.XXXXXX")}
mkdir -p "$out/frames"
out=$(cd "$out" && pwd)
rm -f "$out"/frames/*.jpg  # frames of an earlier demo in the same folder would be counted
start_private_x
echo "No display: the demo runs on a private X server at $DISPLAY for about 20 seconds."
echo "Screenshots and received frames go to $out"

# A home of the demo's own, in which the first run is over: the application goes straight to
# the starting screen instead of the tour.
home=$(mktemp -d)
temporaries+=("$home")
mkdir -p "$home/.config/tovarine"
echo '{"isFirstInstallation": true}' >"$home/.config/tovarine/defaults.json"

shoot() {
  if "$screenshot" --out "$out/$1.png"; then echo "  $out/$1.png"; fi
}

env -u XDG_CONFIG_HOME -u XDG_CACHE_HOME HOME="$home" QT_QPA_PLATFORM=xcb "$app" "$@" \
  >"$out/application.log" 2>&1 &
pids+=($!)
app_pid=$!
sleep 3
if ! kill -0 "$app_pid" 2>/dev/null; then
  echo "The application ended early; see $out/application.log" >&2
  exit 1
fi
shoot 1-waiting-for-tablet

start_companion --save "$out/frames" >"$out/companion.log" 2>&1
companion_pid=${pids[-1]}
if wait_for_monitors 2 10; then
  sleep 1  # the starting screen redraws once the tablet is connected
  echo "The tablet's display joined the screen:"
  xrandr --listmonitors | sed 's/^/  /'
else
  echo "warning: no display appeared for the tablet; see $out/application.log" >&2
fi
shoot 2-connected

# Nothing moves on an idle screen, so nothing would be sent: the screen's background changes
# to another grid (xsetroot takes spacings of 1 to 16) every second, and each change reaches the tablet as a frame.
patterns=(
  "16 16 white steelblue" "12 6 black darkorange" "4 4 gold seagreen" "14 14 white firebrick"
  "8 10 navy goldenrod" "6 6 white slateblue" "10 10 black teal" "16 8 white orchid"
)
for i in $(seq 0 13); do
  read -r across down fg bg <<<"${patterns[i % ${#patterns[@]}]}"
  xsetroot -mod "$across" "$down" -fg "$fg" -bg "$bg"
  sleep 1
  if [ "$i" = 6 ]; then shoot 3-streaming; fi
done

kill "$companion_pid" 2>/dev/null || true
wait "$companion_pid" 2>/dev/null || true
if wait_for_monitors 1 10; then
  sleep 1
else
  echo "warning: the tablet's display stayed after the simulator went" >&2
fi
shoot 4-disconnected

kill "$app_pid" 2>/dev/null || true
wait "$app_pid" 2>/dev/null || true

frames=$(find "$out/frames" -name '*.jpg' | wc -l)
bad=$(grep -c -E 'no decodable JPEG|expected [0-9]+x[0-9]+' "$out/companion.log" || true)
echo "The simulator received $frames frames ($bad not as expected): $out/frames"
echo "Logs: $out/application.log, $out/companion.log"

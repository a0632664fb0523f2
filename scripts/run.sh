#!/usr/bin/env bash
# Builds Tovarine and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVARINE_BUILD_BENCH=ON
cmake --build build/release -j "$(nproc)"

app=build/release/src/app/tovarine
if [ -x "$app" ]; then
  exec "$app" "$@"
fi
echo "Built everything in build/release; the desktop application is not part of this build yet."

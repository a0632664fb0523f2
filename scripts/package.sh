#!/usr/bin/env bash
# Builds Tovarine's Debian package from a release build (stripped, warnings as errors) into
# build/package/, and shows what it depends on and what it installs.
#
#   scripts/package.sh        then: sudo apt install ./build/package/tovarine_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh --package

# The release configuration scripts/test.sh builds last (here without its tests), so that after
# the tests this only packs.
build=build/package
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOVARINE_WERROR=ON \
  -DTOVARINE_BUILD_BENCH=OFF -DTOVARINE_BUILD_TESTS=OFF
# Only what the package holds: the program, its resources and its icons.
cmake --build "$build" -j "$(nproc)" --target tovarine
rm -f "$build"/tovarine_*.deb
(cd "$build" && cpack -G DEB)

deb=$(ls "$build"/tovarine_*.deb)
dpkg-deb -I "$deb"
dpkg-deb -c "$deb"
echo "Built $deb; install it with: sudo apt install ./$deb"

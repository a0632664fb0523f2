#!/usr/bin/env bash
# Installs what is missing, builds Tovarine with AddressSanitizer and UndefinedBehaviorSanitizer,
# runs every test, then builds the runtime's concurrency tests with ThreadSanitizer and runs them,
# and last builds the program in the release configuration with warnings as errors (the build
# scripts/package.sh packs).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh --test

# g++ 12 destroys an aggregate-initialized temporary in a `co_await` expression twice: every
# awaited value must be named first or built through a constructor call, never `T{...}`.
if grep -rnE --include='*.h' --include='*.cpp' 'co_await[^;]*[A-Za-z0-9_>]\{' src tests; then
  echo "error: braced temporary in a co_await expression (name the value first)" >&2
  exit 1
fi

jobs=$(nproc)

# One X server for the tests that need a display, started large because an Xvfb screen can
# shrink but never grow past the size it started with.
xvfb_pid=""
cleanup() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -f "${displayfile:-}"
}
trap cleanup EXIT
displayfile=$(mktemp)
exec {dfd}>"$displayfile"
Xvfb -displayfd "$dfd" -screen 0 8192x4096x24 -noreset -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
exec {dfd}>&-
for _ in $(seq 1 100); do
  [ -s "$displayfile" ] && break
  sleep 0.1
done
if [ -s "$displayfile" ]; then
  export DISPLAY=":$(head -n1 "$displayfile")"
  echo "test X server on $DISPLAY"
else
  echo "warning: Xvfb did not start; display tests will skip" >&2
  unset DISPLAY
fi

export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# As root, the reachability tests can make their private network namespace: a skip is a fault.
if [ "$(id -u)" -eq 0 ]; then export TOVARINE_REQUIRE_NETNS=1; fi
# setup.sh installed the interop tests' servers: one that cannot start is a fault, not a skip.
export TOVARINE_REQUIRE_INTEROP=1
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp}

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-O1 -g" \
  -DTOVARINE_WERROR=ON "-DTOVARINE_SANITIZE=address;undefined;float-cast-overflow"
cmake --build build/asan -j "$jobs"
(cd build/asan && ctest --output-on-failure -j "$jobs" --timeout 300)

cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-O1 -g" \
  -DTOVARINE_WERROR=ON -DTOVARINE_SANITIZE=thread -DTOVARINE_TSAN_SUBSET=ON
cmake --build build/tsan -j "$jobs"
(cd build/tsan && ctest --output-on-failure -j "$jobs" --timeout 300)

# Only what the package holds, so the release configuration costs one program's build.
# Tests on: scripts/package.sh turns them off in the same folder.
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOVARINE_WERROR=ON \
  -DTOVARINE_BUILD_BENCH=OFF -DTOVARINE_BUILD_TESTS=ON
cmake --build build/package -j "$jobs" --target tovarine

# The bounded-body rows once more in the release build, under an address-space limit: a body
# that outgrew its bound would end the process here, where the sanitizers' own reserve hid it.
cmake --build build/package -j "$jobs" --target halyard_core_integration_tests \
  platform_net_integration_tests
prlimit --as=$((3 << 30)) build/package/tests/halyard_core_integration_tests \
  --gtest_filter='BodyBoundITest.*'
prlimit --as=$((3 << 30)) build/package/tests/platform_net_integration_tests \
  --gtest_filter='HostileServerTest.InMemoryBodiesAreBoundedWhereNobodySetABound'

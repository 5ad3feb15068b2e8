#!/usr/bin/env bash
# The long kill -9 sweep of the event queue, outside CI: builds the host
# configuration and kills the storing and uploading child at 1000 random
# points (CI runs 50).
# Usage: scripts/kill-sweep.sh [points] [first seed]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
points=${1:-1000}
seed=${2:-1}
case "$points" in
  *[!0-9]* | '' | 0*) echo "$0: the number of points must be a positive number, not '$points'" >&2
    exit 2 ;;
esac
case "$seed" in
  *[!0-9]* | '') echo "$0: the first seed must be a number, not '$seed'" >&2; exit 2 ;;
esac
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/host" -G Ninja -DDAVAROR_WERROR=ON >/dev/null
# CMAKE_BUILD_PARALLEL_LEVEL, when set, says how many jobs the build may take.
cmake --build "$root/build/host" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" \
  --target davaror_kill_sweep_tests
DAVAROR_KILL_POINTS=$points DAVAROR_KILL_SEED=$seed \
  "$root/build/host/tests/DavaRor/delivery/killsweep/davaror_kill_sweep_tests"

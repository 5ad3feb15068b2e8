#!/usr/bin/env bash
# The long kill -9 sweep of the event queue, outside CI: builds the host
# configuration and kills the storing and uploading child at 1000 random
# points (CI runs 50).
# Usage: scripts/kill-sweep.sh [points] [first seed]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/host" -G Ninja -DDAVAROR_WERROR=ON >/dev/null
cmake --build "$root/build/host" -j "$(nproc)" --target davaror_kill_sweep_tests
DAVAROR_KILL_POINTS=${1:-1000} DAVAROR_KILL_SEED=${2:-1} \
  "$root/build/host/tests/DavaRor/delivery/killsweep/davaror_kill_sweep_tests"

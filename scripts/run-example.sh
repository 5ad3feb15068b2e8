#!/usr/bin/env bash
# Sets up the machine, builds the host configuration and runs the example.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/host" -G Ninja -DDAVAROR_WERROR=ON >/dev/null
cmake --build "$root/build/host" -j "$(nproc)" --target davaror-capture
export XDG_DATA_HOME="${XDG_DATA_HOME:-$root/build/example-data}"
"$root/build/host/examples/capture/davaror-capture" "$@"

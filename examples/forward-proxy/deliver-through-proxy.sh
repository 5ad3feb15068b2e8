#!/usr/bin/env bash
# Runs the capture example against an ingestion host that only the proxy can
# reach: the proxy is named by http_proxy alone, and every batch must arrive
# at the receiver through it.
# Usage: deliver-through-proxy.sh [<davaror-capture> <davaror-ingest-receiver> <davaror-forward-proxy>]
# Without arguments it builds the three programs in the host build (build/host) and runs those.
set -euo pipefail
if [ "$#" -eq 0 ]; then
  root=$(cd "$(dirname "$0")/../.." && pwd)
  echo "building the example programs in $root/build/host" >&2
  "$root/scripts/install-deps.sh" >/dev/null
  cmake -S "$root" -B "$root/build/host" -G Ninja -DDAVAROR_WERROR=ON >/dev/null
  cmake --build "$root/build/host" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" \
    --target davaror-capture davaror-ingest-receiver davaror-forward-proxy >/dev/null
  examples="$root/build/host/examples"
  set -- "$examples/capture/davaror-capture" "$examples/ingest-receiver/davaror-ingest-receiver" \
    "$examples/forward-proxy/davaror-forward-proxy"
elif [ "$#" -ne 3 ]; then
  echo "usage: $0 [<davaror-capture> <davaror-ingest-receiver> <davaror-forward-proxy>]" >&2
  exit 2
fi
capture=$1 receiver=$2 proxy=$3
work=$(mktemp -d)
pids=()
trap 'for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; rm -rf "$work"' EXIT

started() { # <log file>: waits for the "listening on" line and prints the address
  for _ in $(seq 200); do
    sed -n 's/^listening on //p' "$1" | grep . && return 0
    sleep 0.05
  done
  echo "no listening line in $1" >&2
  return 1
}

"$receiver" 0 > "$work/receiver.log" &
pids+=($!)
receiver_address=$(started "$work/receiver.log")
"$proxy" "${receiver_address##*:}" > "$work/proxy.log" &
pids+=($!)
proxy_address=$(started "$work/proxy.log")

unset HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
export XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
export http_proxy="$proxy_address"
check() { # <what should hold> <pattern> <log>: says which check failed and shows its log
  grep -q "$2" "$3" && return 0
  echo "deliver-through-proxy: FAILED: $1 ('$2' not in $(basename "$3")):" >&2
  sed 's/^/  /' "$3" >&2
  exit 1
}

"$capture" http://ingest.davaror.invalid > "$work/capture.log" 2>&1 || {
  echo "deliver-through-proxy: FAILED: the capture example exited with status $?:" >&2
  sed 's/^/  /' "$work/capture.log" >&2
  exit 1
}
check "the capture example delivered every event" "all events delivered" "$work/capture.log"
check "the proxy forwarded a batch" "^forwarded POST http://ingest.davaror.invalid/batch$" \
  "$work/proxy.log"
check "the receiver got the example's event" "example_event" "$work/receiver.log"
echo "delivered through $proxy_address: $(grep -c '^forwarded' "$work/proxy.log") requests"

#!/usr/bin/env bash
# Runs the capture example against an ingestion host that only the proxy can
# reach: the proxy is named by http_proxy alone, and every batch must arrive
# at the receiver through it.
# Usage: deliver-through-proxy.sh <davaror-capture> <davaror-ingest-receiver> <davaror-forward-proxy>
set -euo pipefail
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
"$capture" http://ingest.davaror.invalid > "$work/capture.log" 2>&1 || {
  cat "$work/capture.log"
  exit 1
}
grep -q "all events delivered" "$work/capture.log"
grep -q "^forwarded POST http://ingest.davaror.invalid/batch$" "$work/proxy.log"
grep -q "example_event" "$work/receiver.log"
echo "delivered through $proxy_address: $(grep -c '^forwarded' "$work/proxy.log") requests"

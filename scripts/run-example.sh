#!/usr/bin/env bash
# Sets up the machine, builds the host configuration, starts a local ingestion
# receiver on 127.0.0.1 and runs the capture example against it: the receiver
# prints every batch it receives, gunzipped, the application's life-cycle
# events among them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/host" -G Ninja -DDAVAROR_WERROR=ON >/dev/null
cmake --build "$root/build/host" -j "$(nproc)" --target davaror-capture davaror-ingest-receiver

# A fresh home for the client's files and the user defaults, so every run is
# a first launch ("Application Installed").
example_home="$root/build/example-data"
rm -rf "$example_home"
export XDG_DATA_HOME="$example_home/data"
export XDG_CONFIG_HOME="$example_home/config"
receiver_log=$(mktemp)
"$root/build/host/examples/ingest-receiver/davaror-ingest-receiver" 0 > "$receiver_log" &
receiver=$!
trap 'kill $receiver 2>/dev/null || true; rm -f "$receiver_log"' EXIT
for _ in $(seq 100); do
  grep -q "listening on" "$receiver_log" && break
  sleep 0.05
done
host=$(sed -n 's/^listening on //p' "$receiver_log")

echo "== client (ingestion host $host)"
"$root/build/host/examples/capture/davaror-capture" "$host" "$@"
echo "== receiver"
cat "$receiver_log"

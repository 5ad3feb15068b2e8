#!/usr/bin/env bash
# Sets up the machine, builds the host configuration, starts a local ingestion
# receiver on 127.0.0.1 and runs the capture example against it: the receiver
# prints every batch it receives, gunzipped, the application's life-cycle
# events among them. Then the crash example, built for arm64 and run under
# qemu (the crash reporter unwinds 64-bit ARM), crashes on purpose; its next
# run sends the crash to the receiver as a "$exception" event with its frames.
# A copy of the crash log, taken before that run reads and deletes it, is
# printed as plain text.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/host" -G Ninja -DDAVAROR_WERROR=ON >/dev/null
# CMAKE_BUILD_PARALLEL_LEVEL, when set, says how many jobs the builds may take.
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
cmake --build "$root/build/host" -j "$jobs" --target davaror-capture davaror-ingest-receiver kocrash-print

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

echo "== crash example: arm64 build"
cmake -S "$root" -B "$root/build/arm64" -G Ninja -DDAVAROR_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" >/dev/null
cmake --build "$root/build/arm64" -j "$jobs" --target davaror-crash
crash_home="$root/build/crash-example-data"
rm -rf "$crash_home"
export XDG_DATA_HOME="$crash_home/data"
export XDG_CONFIG_HOME="$crash_home/config"
export XDG_CACHE_HOME="$crash_home/cache"
crash=(qemu-aarch64 -R 0x1000000000 "$root/build/arm64/examples/crash/davaror-crash" "$host")

echo "== crash example: this run crashes (SIGSEGV)"
"${crash[@]}" segv crashed-run || echo "(ended with status $?)"
crash_log=$(find "$crash_home/cache" -name live_report.kocrash)
cp "$crash_log" "$crash_home/crashed-run.kocrash"
echo "== the crash log as plain text"
"$root/build/host/examples/kocrash-print/kocrash-print" "$crash_home/crashed-run.kocrash"
echo "== crash example: the next run sends the crash"
"${crash[@]}" run next-run

echo "== receiver (the last batch holds the \$exception event)"
cat "$receiver_log"

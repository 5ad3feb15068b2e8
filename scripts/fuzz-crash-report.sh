#!/usr/bin/env bash
# Fuzzes the crash log decoder and text formatter with libFuzzer (clang-14, ASan + UBSan,
# leak detection on). New inputs collect in build/fuzz/corpus; --merge minimises them
# together with the committed corpus back into tests/kocrashreporter/report/fuzz_corpus,
# which every normal test run replays.
# Usage: scripts/fuzz-crash-report.sh [seconds (default 60)] [--merge]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=60
merge=
for argument in "$@"; do
  case "$argument" in
    --merge) merge=1 ;;
    *) seconds=$argument ;;
  esac
done
"$root/scripts/install-deps.sh"

build="$root/build/fuzz"
cmake -S "$root" -B "$build" -G Ninja -DDAVAROR_WERROR=ON -DDAVAROR_FUZZ=ON \
  -DDAVAROR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DDAVAROR_BUILD_BENCHMARKS=OFF \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build" --target kocrash_report_fuzzer -j 4

fuzzer="$build/tests/kocrashreporter/report/kocrash_report_fuzzer"
corpus="$root/tests/kocrashreporter/report/fuzz_corpus"
found="$build/corpus"
mkdir -p "$found"
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=4096 \
  "$found" "$corpus"

if [ -n "$merge" ]; then
  merged=$(mktemp -d)
  trap 'rm -rf "$merged"' EXIT
  "$fuzzer" -merge=1 "$merged" "$corpus" "$found"
  rm -f "$corpus"/*
  cp "$merged"/* "$corpus"/
  echo "corpus: $(ls "$corpus" | wc -l) files"
fi

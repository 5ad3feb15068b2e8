#!/usr/bin/env bash
# Fuzzes the Mach-O image reader, symbol lookup, the metadata walk and the compact unwind
# reader with libFuzzer (clang-14, ASan + UBSan, leak detection on), seeded with the linked
# fixture images. New inputs collect in build/fuzz/image-corpus; --merge minimises them
# together with the committed corpus back into tests/kocrashreporter/images/fuzz_corpus,
# which every normal test run replays.
# Usage: scripts/fuzz-images.sh [seconds (default 60)] [--merge]
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
cmake --build "$build" --target kocrash_image_fuzzer -j 4

fuzzer="$build/tests/kocrashreporter/images/kocrash_image_fuzzer"
corpus="$root/tests/kocrashreporter/images/fuzz_corpus"
seeds="$build/tests/support/macho/fixtures"
found="$build/image-corpus"
mkdir -p "$found"
for seed in functions_arm64.dylib functions_x86_64.dylib functions_armv7.dylib entry_arm64 \
            metadata_arm64.dylib prologues_arm64.dylib; do
  cp "$seeds/$seed" "$found/seed-$seed"
done
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=65536 \
  "$found" "$corpus"

if [ -n "$merge" ]; then
  merged=$(mktemp -d)
  trap 'rm -rf "$merged"' EXIT
  "$fuzzer" -merge=1 "$merged" "$corpus" "$found"
  rm -f "$corpus"/*
  cp "$merged"/* "$corpus"/
  echo "corpus: $(ls "$corpus" | wc -l) files"
fi

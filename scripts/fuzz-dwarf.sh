#!/usr/bin/env bash
# Fuzzes the DWARF unwinder with libFuzzer (clang-14, ASan + UBSan, leak detection on): the
# call-frame readers ("frames") or the expression evaluator ("expression"). New inputs collect
# in build/fuzz/corpus-<target>; --merge minimises them together with the committed corpus back
# into tests/kocrashreporter/dwarf/fuzz_corpus_<target>, which every normal test run replays.
# Usage: scripts/fuzz-dwarf.sh frames|expression [seconds (default 60)] [--merge]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:-}
case "$target" in
  frames|expression) shift ;;
  *) echo "usage: $0 frames|expression [seconds] [--merge]" >&2; exit 2 ;;
esac
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
cmake --build "$build" --target "kocrash_dwarf_${target}_fuzzer" -j 4

fuzzer="$build/tests/kocrashreporter/dwarf/kocrash_dwarf_${target}_fuzzer"
corpus="$root/tests/kocrashreporter/dwarf/fuzz_corpus_${target}"
found="$build/corpus-${target}"
mkdir -p "$found" "$corpus"
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

#!/usr/bin/env bash
# Fuzzes one reader of the crash reporter with libFuzzer (clang-14, ASan + UBSan, leak
# detection on). New inputs collect in build/fuzz/corpus-<target>; --merge minimises them
# together with the committed corpus, which every normal test run replays, back into it.
# Usage: scripts/fuzz.sh report|images|dwarf-frames|dwarf-expression [seconds (default 60)] [--merge]
#   report            the crash log decoder and text formatter
#   images            the Mach-O image reader, symbols, metadata walk and compact unwind reader,
#                     seeded with the linked fixture images
#   dwarf-frames      the DWARF call-frame readers
#   dwarf-expression  the DWARF expression evaluator
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:-}
case "$target" in
  report) fuzzer_target=kocrash_report_fuzzer; folder=report; corpus_name=fuzz_corpus; max_len=4096 ;;
  images) fuzzer_target=kocrash_image_fuzzer; folder=images; corpus_name=fuzz_corpus; max_len=65536 ;;
  dwarf-frames) fuzzer_target=kocrash_dwarf_frames_fuzzer; folder=unwind/dwarf; corpus_name=fuzz_corpus_frames; max_len=4096 ;;
  dwarf-expression) fuzzer_target=kocrash_dwarf_expression_fuzzer; folder=unwind/dwarf; corpus_name=fuzz_corpus_expression; max_len=4096 ;;
  *) echo "usage: $0 report|images|dwarf-frames|dwarf-expression [seconds] [--merge]" >&2; exit 2 ;;
esac
shift
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
cmake --build "$build" --target "$fuzzer_target" -j 4

fuzzer="$build/tests/kocrashreporter/$folder/$fuzzer_target"
corpus="$root/tests/kocrashreporter/$folder/$corpus_name"
found="$build/corpus-$target"
mkdir -p "$found" "$corpus"
if [ "$target" = images ]; then
  for seed in functions_arm64.dylib functions_x86_64.dylib functions_armv7.dylib entry_arm64 \
              metadata_arm64.dylib prologues_arm64.dylib; do
    cp "$build/tests/support/macho/fixtures/$seed" "$found/seed-$seed"
  done
fi
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len="$max_len" \
  "$found" "$corpus"

if [ -n "$merge" ]; then
  merged=$(mktemp -d)
  trap 'rm -rf "$merged"' EXIT
  "$fuzzer" -merge=1 "$merged" "$corpus" "$found"
  rm -f "$corpus"/*
  cp "$merged"/* "$corpus"/
  echo "corpus: $(ls "$corpus" | wc -l) files"
fi

#!/usr/bin/env bash
# Fuzzes readers of the crash reporter with libFuzzer (clang-14, ASan + UBSan, leak detection
# on). Each run first replays the committed corpus, which every normal test run replays too.
# New inputs collect in build/fuzz/corpus-<target>; --merge minimises them together with the
# committed corpus back into it. A crash, leak, timeout or out-of-memory input is kept in
# build/fuzz/findings-<target>/ and fails the run.
# Usage: scripts/fuzz.sh TARGET... [seconds (default 60)] [--merge]
#   report            the crash log decoder and text formatter
#   images            the Mach-O image reader, symbols, metadata walk and compact unwind reader,
#                     seeded with the linked fixture images
#   dwarf-frames      the DWARF call-frame readers
#   dwarf-expression  the DWARF expression evaluator
#   all               the four above, side by side; each prints one line with its outcome and
#                     keeps its output in build/fuzz/<target>.log
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: $0 report|images|dwarf-frames|dwarf-expression|all... [seconds] [--merge]"
all_targets=(report images dwarf-frames dwarf-expression)

targets=()
seconds=60
merge=
for argument in "$@"; do
  case "$argument" in
    report | images | dwarf-frames | dwarf-expression) targets+=("$argument") ;;
    all) targets+=("${all_targets[@]}") ;;
    --merge) merge=1 ;;
    *[!0-9]* | '') echo "$usage" >&2; exit 2 ;;
    *) seconds=$argument ;;
  esac
done
[ "${#targets[@]}" -gt 0 ] || { echo "$usage" >&2; exit 2; }

fuzzer_of() { # <target>: the CMake target, its test folder, its corpus folder and input limit
  case "$1" in
    report) echo kocrash_report_fuzzer report fuzz_corpus 4096 ;;
    images) echo kocrash_image_fuzzer images fuzz_corpus 65536 ;;
    dwarf-frames) echo kocrash_dwarf_frames_fuzzer unwind/dwarf fuzz_corpus_frames 4096 ;;
    dwarf-expression) echo kocrash_dwarf_expression_fuzzer unwind/dwarf fuzz_corpus_expression 4096 ;;
  esac
}

"$root/scripts/install-deps.sh"
build="$root/build/fuzz"
cmake -S "$root" -B "$build" -G Ninja -DDAVAROR_WERROR=ON -DDAVAROR_FUZZ=ON \
  -DDAVAROR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DDAVAROR_BUILD_BENCHMARKS=OFF \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake_targets=()
for target in "${targets[@]}"; do
  read -r fuzzer_target _ <<<"$(fuzzer_of "$target")"
  cmake_targets+=("$fuzzer_target")
done
# CMAKE_BUILD_PARALLEL_LEVEL, when set, says how many jobs the build may take.
cmake --build "$build" --target "${cmake_targets[@]}" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

fuzz() { # <target>
  local target=$1 fuzzer_target folder corpus_name max_len
  read -r fuzzer_target folder corpus_name max_len <<<"$(fuzzer_of "$target")"
  local fuzzer="$build/tests/kocrashreporter/$folder/$fuzzer_target"
  local corpus="$root/tests/kocrashreporter/$folder/$corpus_name"
  local found="$build/corpus-$target" findings="$build/findings-$target"
  mkdir -p "$found" "$corpus" "$findings"
  if [ "$target" = images ]; then
    for seed in functions_arm64.dylib functions_x86_64.dylib functions_armv7.dylib entry_arm64 \
                metadata_arm64.dylib prologues_arm64.dylib; do
      cp "$build/tests/support/macho/fixtures/$seed" "$found/seed-$seed"
    done
  fi
  "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len="$max_len" \
    -artifact_prefix="$findings/" "$found" "$corpus"

  if [ -n "$merge" ]; then
    local merged
    merged=$(mktemp -d)
    "$fuzzer" -merge=1 "$merged" "$corpus" "$found"
    rm -f "$corpus"/*
    cp "$merged"/* "$corpus"/
    rm -rf "$merged"
    echo "corpus: $(ls "$corpus" | wc -l) files"
  fi
}

if [ "${#targets[@]}" -eq 1 ]; then
  fuzz "${targets[0]}"
  exit
fi

pids=()
for target in "${targets[@]}"; do
  fuzz "$target" >"$build/$target.log" 2>&1 &
  pids+=($!)
done
failed=0
for index in "${!targets[@]}"; do
  target=${targets[index]}
  if wait "${pids[index]}"; then
    echo "fuzz $target: clean, $(grep -Eo 'Done [0-9]+ runs in [0-9]+ second' "$build/$target.log" | sed -E 's/Done ([0-9]+) runs in ([0-9]+) second/\1 runs in \2 s/')"
  else
    failed=1
    tail -n 40 "$build/$target.log"
    echo "fuzz $target: FAILED (log build/fuzz/$target.log, inputs in build/fuzz/findings-$target/)"
  fi
done
exit "$failed"

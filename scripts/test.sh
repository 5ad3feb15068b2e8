#!/usr/bin/env bash
# Sets up the machine, then builds and tests the four configurations:
# host (x86_64), arm64 (cross-compiled, tests under qemu-aarch64), the host
# AddressSanitizer + UndefinedBehaviorSanitizer build, and the host
# ThreadSanitizer build, which runs only the suites that start threads; then
# the fuzz stage: the four libFuzzer targets, each replaying its committed
# corpus and fuzzing briefly.
# Usage: scripts/test.sh [host|arm64|asan|tsan|fuzz ...]   (default: all of them)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"

configs=("$@")
[ "${#configs[@]}" -gt 0 ] || configs=(host arm64 asan tsan fuzz)
# CMAKE_BUILD_PARALLEL_LEVEL and CTEST_PARALLEL_LEVEL, when set, say how many jobs the builds
# and the test runs may take.
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
test_jobs=${CTEST_PARALLEL_LEVEL:-$(nproc)}
total_passed=0
total_failed=0
failed_configs=()

configure() {
  local name=$1; shift
  cmake -S "$root" -B "$root/build/$name" -G Ninja -DDAVAROR_WERROR=ON "$@" >/dev/null
}

# ThreadSanitizer pays off only where threads start: the queue, the client,
# the remote configuration, the core suites, the image registry, the crash
# reporter's async list and thread parking. Each selection is one ctest run
# (ctest ANDs -L and -R).
tsan_suites=(davaror_queue_tests davaror_sdk_tests davaror_remote_config_tests
  davaror_core_tests platform_core_tests platform_mach_tests platform_dyld_tests
  kocrash_image_tests)
tsan_selections=("-L ^(davaror_queue_tests|davaror_sdk_tests|davaror_remote_config_tests|davaror_core_tests|platform_core_tests|platform_mach_tests|platform_dyld_tests)$"
  "-L ^kocrash_image_tests$ -R ^(AsyncList|ImageList)[.]")

run_ctest() { # <config> <log> [selection...]
  local config=$1 log=$2; shift 2
  set +e
  ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$root/build/$config" \
    --output-on-failure -j "$test_jobs" --timeout 300 "$@" 2>&1 | tee -a "$log"
  local status=${PIPESTATUS[0]}
  set -e
  return "$status"
}

# Each fuzzer counts as one test: it passes when it builds, replays its corpus
# and runs its time without a finding.
fuzz_seconds=25
run_fuzz_stage() {
  local started=$SECONDS log="$root/build/fuzz-stage.log" clean findings
  mkdir -p "$root/build"
  echo "== fuzz: build and run (${fuzz_seconds} s each)"
  set +e
  "$root/scripts/fuzz.sh" all "$fuzz_seconds" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  set -e
  clean=$(grep -c "^fuzz .*: clean" "$log" || true)
  findings=$((4 - clean))
  total_passed=$((total_passed + clean))
  total_failed=$((total_failed + findings))
  if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then failed_configs+=(fuzz); fi
  echo "== fuzz: $((SECONDS - started)) s"
}

# Every host test binary also runs whole once, as a developer runs it, besides ctest's one test
# per process: a test that leans on what an earlier one left in the process (a thread, a
# once-per-process check) fails here. Each binary has a time limit; its output is kept beside it.
run_whole_binaries() { # <config> <log>
  local config=$1 log=$2
  find "$root/build/$config/tests" -type f -executable -name '*_tests' | sort |
    xargs -P "$test_jobs" -I{} sh -c \
      'if timeout 600 "$1" >"$1.whole.log" 2>&1; then echo "whole: passed $1";
       else echo "whole: FAILED $1 (see $1.whole.log)"; fi' _ {} | tee -a "$log"
  ! grep -q "^whole: FAILED" "$log"
}

set -f # the selections hold regular expressions, not file patterns
for config in "${configs[@]}"; do
  if [ "$config" = fuzz ]; then
    run_fuzz_stage
    continue
  fi
  targets=()
  selections=("")
  case "$config" in
    host) configure host ;;
    arm64) configure arm64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" ;;
    asan) configure asan -DDAVAROR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug ;;
    tsan)
      configure tsan -DDAVAROR_TSAN=ON -DCMAKE_BUILD_TYPE=Debug
      targets=(--target "${tsan_suites[@]}")
      selections=("${tsan_selections[@]}")
      ;;
    *) echo "unknown configuration: $config" >&2; exit 2 ;;
  esac
  started=$SECONDS
  echo "== $config: build"
  cmake --build "$root/build/$config" -j "$jobs" "${targets[@]}"
  echo "== $config: test"
  log="$root/build/$config/ctest.log"
  : > "$log"
  config_failed=0
  for selection in "${selections[@]}"; do
    # shellcheck disable=SC2086 # a selection is several words
    run_ctest "$config" "$log" $selection || config_failed=1
  done
  if [ "$config" = host ] && ! run_whole_binaries "$config" "$log"; then
    total_failed=$((total_failed + 1))
    config_failed=1
  fi
  summaries=$(grep -E "tests passed, [0-9]+ tests failed out of" "$log" || true)
  if [ "$(wc -l <<<"$summaries")" -ne "${#selections[@]}" ] || [ -z "$summaries" ]; then
    total_failed=$((total_failed + 1))
    config_failed=1
  fi
  while read -r summary; do
    [ -n "$summary" ] || continue
    out_of=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    failed=$(sed -E 's/.*, ([0-9]+) tests failed.*/\1/' <<<"$summary")
    total_passed=$((total_passed + out_of - failed))
    total_failed=$((total_failed + failed))
  done <<<"$summaries"
  if [ "$config_failed" -ne 0 ]; then failed_configs+=("$config"); fi
  echo "== $config: $((SECONDS - started)) s"
done
set +f

echo
echo "configurations: ${configs[*]}"
[ "${#failed_configs[@]}" -eq 0 ] || echo "failing configurations: ${failed_configs[*]}"
echo "${total_passed} passed, ${total_failed} failed"
[ "${#failed_configs[@]}" -eq 0 ]

#!/usr/bin/env bash
# Sets up the machine, then builds and tests the three configurations:
# host (x86_64), arm64 (cross-compiled, tests under qemu-aarch64) and the host
# AddressSanitizer + UndefinedBehaviorSanitizer build.
# Usage: scripts/test.sh [host|arm64|asan|tsan ...]   (default: host arm64 asan)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"

configs=("$@")
[ "${#configs[@]}" -gt 0 ] || configs=(host arm64 asan)
jobs=$(nproc)
total_passed=0
total_failed=0
failed_configs=()

configure() {
  local name=$1; shift
  cmake -S "$root" -B "$root/build/$name" -G Ninja -DDAVAROR_WERROR=ON "$@" >/dev/null
}

for config in "${configs[@]}"; do
  case "$config" in
    host) configure host ;;
    arm64) configure arm64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" ;;
    asan) configure asan -DDAVAROR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug ;;
    tsan) configure tsan -DDAVAROR_TSAN=ON -DCMAKE_BUILD_TYPE=Debug ;;
    *) echo "unknown configuration: $config" >&2; exit 2 ;;
  esac
  echo "== $config: build"
  cmake --build "$root/build/$config" -j "$jobs"
  echo "== $config: test"
  log="$root/build/$config/ctest.log"
  set +e
  ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$root/build/$config" --output-on-failure \
    -j "$jobs" --timeout 300 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  set -e
  summary=$(grep -E "tests passed, [0-9]+ tests failed out of" "$log" | tail -1 || true)
  out_of=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  failed=$(sed -E 's/.*, ([0-9]+) tests failed.*/\1/' <<<"$summary")
  if [ -z "$summary" ]; then out_of=0; failed=1; fi
  total_passed=$((total_passed + out_of - failed))
  total_failed=$((total_failed + failed))
  if [ "$status" -ne 0 ]; then failed_configs+=("$config"); fi
done

echo
echo "configurations: ${configs[*]}"
[ "${#failed_configs[@]}" -eq 0 ] || echo "failing configurations: ${failed_configs[*]}"
echo "${total_passed} passed, ${total_failed} failed"
[ "${#failed_configs[@]}" -eq 0 ]

#!/usr/bin/env bash
# The tools refuse what they cannot use in one line and a failing status: kocrash-print given a
# folder, a large file that is no crash log (decided from its head, without reading it whole) or
# a bad option; the loader benchmark given a missing file or one that is no library; the kill
# sweep given a count that is not a positive number.
# Usage: tools-fail-clearly.sh <kocrash-print> <davaror_loader_bench> <scripts folder>
set -euo pipefail
print=$1 loader_bench=$2 scripts=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# <what> <expected status> <pattern of the one stderr line> <command...>
expect_refusal() {
  local what=$1 expected=$2 pattern=$3; shift 3
  local status=0
  "$@" >"$work/out" 2>"$work/err" || status=$?
  if [ "$status" -ne "$expected" ] || [ "$(wc -l <"$work/err")" -ne 1 ] ||
    ! grep -q -- "$pattern" "$work/err"; then
    echo "FAILED: $what: status $status (expected $expected), stderr:" >&2
    sed 's/^/  /' "$work/err" >&2
    failures=$((failures + 1))
  fi
}

"$print" --help >"$work/help" || { echo "FAILED: --help exits $?" >&2; failures=$((failures + 1)); }
grep -q "usage: kocrash-print" "$work/help" || {
  echo "FAILED: --help prints no usage" >&2
  failures=$((failures + 1))
}
expect_refusal "kocrash-print of a folder" 1 "is a folder" "$print" "$work"
# 300 MB of nothing, sparse: reading it whole would take hundreds of MB of memory.
truncate -s 300M "$work/large"
expect_refusal "kocrash-print of a large file that is no crash log" 1 "not a crash log" \
  /usr/bin/time -f "%M" -o "$work/peak" "$print" "$work/large"
if [ "$(cat "$work/peak")" -gt 65536 ]; then
  echo "FAILED: kocrash-print read the large file: peak $(cat "$work/peak") KiB" >&2
  failures=$((failures + 1))
fi
expect_refusal "kocrash-print of a missing file" 1 "No such file" "$print" "$work/missing"

expect_refusal "loader bench of a missing library" 1 "No such file" "$loader_bench" "$work/missing.so"
expect_refusal "loader bench of a file that is no library" 1 "not a library" \
  "$loader_bench" "$work/large"
leftovers=$(find "${TMPDIR:-/tmp}" -maxdepth 1 -newer "$work/large" -name 'davaror_loader_bench*')
[ -z "$leftovers" ] || { echo "FAILED: left behind $leftovers" >&2; failures=$((failures + 1)); }

for count in abc -5 0; do
  expect_refusal "kill sweep of '$count' points" 2 "positive number" "$scripts/kill-sweep.sh" "$count"
done

[ "$failures" -eq 0 ] && echo "every tool refused clearly"

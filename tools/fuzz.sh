#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Fuzzes each libFuzzer target for a while and runs the ThreadSanitizer race
# test, in the clang build build/fuzz; prints runs, speed and corpus size.
# Usage: fuzz.sh [seconds-per-target]   (default 60)
# The committed corpus (tests/fuzz/corpus) is copied into a scratch corpus,
# build/fuzz/fuzz-work/<target>/corpus, which grows from run to run; crash
# inputs land in build/fuzz/fuzz-work/<target>/artifacts.
set -euo pipefail
source "$(dirname "$0")/env.sh"
seconds=${1:-60}
dir=$build/fuzz

bash "$root/tools/setup.sh"

if [ ! -f "$dir/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DQLV_SANITIZE=OFF >/dev/null
fi
# The targets and their flags are the CTest tests of tests/fuzz/CMakeLists.txt.
cmake "$dir" -DQLV_FUZZ_SECONDS="$seconds" >/dev/null
ninja --quiet -C "$dir" fuzz_all

echo "== fuzzing, $seconds s a target"
failed=0
ctest --test-dir "$dir" -L '^fuzz$' -V </dev/null >"$dir/fuzz.log" 2>&1 || {
  failed=1
  cat "$dir/fuzz.log"
}
mapfile -t rows < <(grep -o 'fuzz-stats: .*' "$dir/fuzz.log" | cut -d' ' -f2-)

echo "== race_engine"
race=passed
ctest --test-dir "$dir" -R '^race_engine$' -V </dev/null >"$dir/race.log" 2>&1 ||
  { race=FAILED failed=1; cat "$dir/race.log"; }
race="$race ($(grep -o 'race_engine: .*' "$dir/race.log" | tail -n 1 | cut -d' ' -f2-))"

echo
printf '| %-20s | %10s | %7s | %8s | %11s | %7s |\n' target runs seconds exec/s "corpus size" crashes
printf '|%s|%s|%s|%s|%s|%s|\n' ---------------------- ------------ --------- ---------- \
  ------------- ---------
for r in "${rows[@]}"; do
  read -r name runs secs rate corpus crashes <<<"$r"
  printf '| %-20s | %10s | %7s | %8s | %11s | %7s |\n' "$name" "$runs" "$secs" "$rate" "$corpus" \
    "$crashes"
done
echo
echo "race_engine (ThreadSanitizer): $race"
exit $failed

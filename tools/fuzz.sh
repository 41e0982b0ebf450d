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

pkgs=(clang libclang-rt-14-dev cmake ninja-build libfftw3-dev googletest libgtest-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
  echo "fuzz: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  sudo_ apt-get update -qq >/dev/null
  sudo_ apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null </dev/null
fi

if [ ! -f "$dir/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DQLV_SANITIZE=OFF >/dev/null
fi
ninja --quiet -C "$dir" fuzz_all

targets=(fuzz_wav_header fuzz_prepare fuzz_settings_number)
rows=() failed=0
for t in "${targets[@]}"; do
  flags=()
  [ "$t" = fuzz_settings_number ] || flags=(-dict="$root/tests/fuzz/wav.dict")
  echo "== $t, $seconds s"
  if ! out=$(bash "$root/tests/fuzz/run_fuzzer.sh" "$dir/tests/fuzz/$t" "$seconds" \
    "$dir/fuzz-work/$t" "${flags[@]}" "$root/tests/fuzz/corpus/$t" \
    "$root/tests/fuzz/regressions/$t"); then
    failed=1
  fi
  rows+=("$(grep '^fuzz-stats:' <<<"$out" | cut -d' ' -f2- || echo "$t - - - - failed")")
done

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

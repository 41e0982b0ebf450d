#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs one libFuzzer target: replays the committed inputs without fuzzing,
# then fuzzes for a bounded time in a scratch corpus, and prints one line
#   fuzz-stats: <target> <runs> <seconds> <exec/s> <corpus files> <crashes>
# Usage: run_fuzzer.sh <fuzzer> <seconds> <work-dir> [-libfuzzer-flag...] [input-dir...]
set -uo pipefail
fuzzer=$1 seconds=$2 work=$3
shift 3
name=$(basename "$fuzzer")
flags=(-rss_limit_mb=2048 -malloc_limit_mb=512 -timeout=25)
dirs=()
for a in "$@"; do
  case $a in
    -*) flags+=("$a") ;;
    *) [ -d "$a" ] && [ -n "$(ls -A "$a")" ] && dirs+=("$a") ;;
  esac
done
mkdir -p "$work/corpus" "$work/artifacts"
export TMPDIR=$work

# Every committed input once: a crash found earlier must stay fixed.
if [ ${#dirs[@]} -gt 0 ]; then
  if ! "$fuzzer" "${flags[@]}" -runs=0 "${dirs[@]}" </dev/null >"$work/replay.log" 2>&1; then
    echo "$name: a committed input fails on replay ($work/replay.log):" >&2
    tail -n 40 "$work/replay.log" >&2
    exit 1
  fi
  for d in "${dirs[@]}"; do cp -n "$d"/* "$work/corpus/" 2>/dev/null || true; done
fi

before=$(find "$work/artifacts" -type f | wc -l)
"$fuzzer" "${flags[@]}" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" "$work/corpus" </dev/null >"$work/fuzz.log" 2>&1
status=$?
crashes=$(($(find "$work/artifacts" -type f | wc -l) - before))

# "Done 123456 runs in 20 second(s)" and the last status line's "corp: 42/3Kb".
read -r runs secs < <(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 \2/p' \
  "$work/fuzz.log" | tail -n 1)
corpus=$(grep -o 'corp: [0-9]*' "$work/fuzz.log" | tail -n 1 | grep -o '[0-9]*$')
runs=${runs:-$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz.log" | tail -n 1)}
runs=${runs:-0} secs=${secs:-$seconds} corpus=${corpus:-0}
rate=$((secs > 0 ? runs / secs : runs))
echo "fuzz-stats: $name $runs $secs $rate $corpus $crashes"

if [ $status -ne 0 ]; then
  echo "$name: fuzzing failed with status $status ($work/fuzz.log):" >&2
  grep -A 40 -m 1 -E '^==[0-9]+==|^SUMMARY|runtime error|deadly signal|out-of-memory|timeout' \
    "$work/fuzz.log" >&2 || tail -n 40 "$work/fuzz.log" >&2
  ls "$work/artifacts" >&2
  exit 1
fi

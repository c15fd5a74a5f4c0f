#!/usr/bin/env bash
# A longer fuzzing campaign than CI's minute: runs each named target (all of
# them when none is named) for SECONDS seconds on a kept corpus, merges what
# it found into the smallest set of inputs that covers as much, and prints the
# runs and the coverage before and after.
#
#     fuzz/campaign.sh SECONDS WORK_DIR [TARGET ...]
#
# WORK_DIR keeps each target's corpus between campaigns (WORK_DIR/<target>).
# The inputs that raise the coverage of the committed corpus are left in
# WORK_DIR/<target>-new, to be copied into fuzz/corpus/<target>/. Needs the fuzz preset
# built (cmake --preset fuzz && cmake --build --preset fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?seconds per target}
work=${2:?work folder}
shift 2
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in build/fuzz/fuzz/*_fuzzer; do targets+=("$(basename "$f" _fuzzer)"); done
fi
mkdir -p "$work"
for name in "${targets[@]}"; do
  fuzzer=build/fuzz/fuzz/${name}_fuzzer
  seeds=("fuzz/corpus/$name")
  [ "$name" = load ] && seeds+=(tests/data/bmpsuite)
  mkdir -p "$work/$name" "$work/$name-new" "$work/$name-artifacts"
  # Coverage of the committed seeds alone, then of the campaign's corpus.
  before=$("$fuzzer" -runs=0 "${seeds[@]}" 2>&1 | grep -o 'cov: [0-9]*' | tail -1)
  "$fuzzer" -max_total_time="$seconds" -rss_limit_mb=4096 -malloc_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$work/$name-artifacts/" "$work/$name" "${seeds[@]}" \
    >"$work/$name.log" 2>&1 || { echo "$name: FAILED"; tail -n 40 "$work/$name.log"; exit 1; }
  runs=$(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$work/$name.log" | grep -o '[0-9]*$')
  # The inputs that add coverage to the committed ones: merged into a copy of
  # them, the files that were not there before.
  rm -rf "$work/$name-merged" "$work/$name-new"
  mkdir -p "$work/$name-merged" "$work/$name-new"
  cp "fuzz/corpus/$name"/* "$work/$name-merged/"
  "$fuzzer" -merge=1 "$work/$name-merged" "$work/$name" >"$work/$name.merge.log" 2>&1
  for f in "$work/$name-merged"/*; do
    [ -e "fuzz/corpus/$name/$(basename "$f")" ] || cp "$f" "$work/$name-new/"
  done
  after=$("$fuzzer" -runs=0 "${seeds[@]}" "$work/$name-new" 2>&1 | grep -o 'cov: [0-9]*' | tail -1)
  echo "$name: $runs runs; seeds $before, with the $(ls "$work/$name-new" | wc -l) new inputs $after"
done

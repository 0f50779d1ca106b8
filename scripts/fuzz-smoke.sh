#!/bin/sh
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and
# runs each for a short, bounded time from its seed corpus. FUZZ_SECONDS sets the time per
# target (default 20); run longer for a real campaign, e.g. FUZZ_SECONDS=3600. The time-out per
# input is generous: the smoke run judges crashes and leaks, not speed on a busy machine.
set -eu
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
build=build/fuzz
sh scripts/fuzz-build.sh
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1
for target in $build/fuzz/fuzz_*; do
  name=$(basename "$target")
  family=$(echo "$name" | sed -E 's/^fuzz_([a-z]+)_.*$/\1/')
  work=$build/corpus/$name
  mkdir -p "$work"
  echo "fuzzing $name for ${seconds}s"
  dict=""
  [ -f fuzz/$family.dict ] && dict=-dict=fuzz/$family.dict
  mkdir -p fuzz/corpus/$family
  "$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 -malloc_limit_mb=2048 \
    $dict -print_final_stats=1 "$work" fuzz/corpus/$family 2>"$build/$name.log" || {
      tail -50 "$build/$name.log"; exit 1; }
  grep -E 'stat::number_of_executed_units' "$build/$name.log" || true
done

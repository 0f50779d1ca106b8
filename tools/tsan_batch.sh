#!/bin/sh
# Runs the tool's threaded batches (render and convert with --out-dir on 4 threads) under a
# ThreadSanitizer build: any data race stops the run. usage: tsan_batch.sh TOOL DRAWINGS WORK
set -eu
tool=$1
drawings=$2
work=$3
rm -rf "$work"
mkdir -p "$work/in"
i=0
while [ $i -lt 12 ]; do
  for d in "$drawings"/*.ptl "$drawings"/*.cptl; do
    name=$(basename "$d")
    cp "$d" "$work/in/$i-$name"
  done
  i=$((i + 1))
done
export TSAN_OPTIONS="halt_on_error=1 exitcode=66"
"$tool" render --quiet --out-dir "$work/rendered" --jobs 4 --scale 2 "$work"/in/*
"$tool" convert --quiet --out-dir "$work/png" --to png --jobs 4 "$work"/rendered/*
"$tool" convert --quiet --out-dir "$work/pam" --to pam --jobs 4 "$work"/png/*
"$tool" convert --quiet --out-dir "$work/tiff" --to tiff --jobs 4 "$work"/pam/*
"$tool" convert --quiet --out-dir "$work/jpeg" --to jpeg --jobs 4 "$work"/tiff/*
"$tool" resize --quiet --out-dir "$work/small" --to png --jobs 4 50% "$work"/jpeg/*
test "$(ls "$work/small" | wc -l)" -eq "$(ls "$work/in" | wc -l)"
echo "tool batches on 4 threads: no data race ($(ls "$work/in" | wc -l) files, six passes through PNG, PAM, TIFF and JPEG)"

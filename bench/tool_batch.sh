#!/bin/sh
# Measures the tool on many small files: converting N small images (default 1,000) to PNG with
# one `tessera convert --out-dir --to png` at --jobs 1 and 2, against one tessera process per
# file, interleaved over ROUNDS rounds; prints a Markdown table of medians and ratios.
# usage: tool_batch.sh TOOL WORK_DIR [N] [ROUNDS]
set -eu
sh "$(dirname "$0")/../scripts/deps.sh" bc netpbm
tool=$1
work=$2
n=${3:-1000}
rounds=${4:-3}
rm -rf "$work"
mkdir -p "$work/in"
i=0
while [ $i -lt "$n" ]; do
  pgmnoise -randomseed=$i 64 48 > "$work/in/img$i.pgm" 2>/dev/null
  i=$((i + 1))
done
now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }
: > "$work/times"
r=0
while [ $r -lt "$rounds" ]; do
  for way in loop jobs1 jobs2; do
    rm -rf "$work/out"
    mkdir -p "$work/out"
    t0=$(now)
    case $way in
      loop) for f in "$work"/in/*.pgm; do
          b=$(basename "$f" .pgm)
          "$tool" convert "$f" "$work/out/$b.png"
        done ;;
      jobs1) "$tool" convert --quiet --out-dir "$work/out" --to png --jobs 1 "$work"/in/*.pgm ;;
      jobs2) "$tool" convert --quiet --out-dir "$work/out" --to png --jobs 2 "$work"/in/*.pgm ;;
    esac
    t1=$(now)
    [ "$(ls "$work/out" | wc -l)" -eq "$n" ]
    echo "$way $(elapsed "$t0" "$t1")" >> "$work/times"
  done
  r=$((r + 1))
done
median() { grep "^$1 " "$work/times" | cut -d' ' -f2 | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
loop=$(median loop)
j1=$(median jobs1)
j2=$(median jobs2)
echo "| way ($n images of 64 x 48, PGM to PNG) | median seconds | files per second | speed against one process per file |"
echo "|---|---|---|---|"
for way in loop j1 j2; do
  eval t=\$$way
  case $way in loop) label="one tessera process per file" ;; j1) label="one process, --jobs 1" ;; j2) label="one process, --jobs 2" ;; esac
  printf "| %s | %.3f | %s | %s |\n" "$label" "$t" "$(echo "$n / $t" | bc)" "$(echo "scale=2; $loop / $t" | bc)"
done

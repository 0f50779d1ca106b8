#!/bin/sh
# The README's C tour compiles as strict C99 against the public headers and runs.
# usage: readme_tour.sh README INCLUDE_DIR LIBRARY_DIR WORK_DIR
set -eu
readme=$1
include=$2
libdir=$3
work=$4
rm -rf "$work"
mkdir -p "$work"
awk '/^```c$/ {inside = 1; next} /^```$/ {if (inside) exit} inside {print}' "$readme" > "$work/tour.c"
[ -s "$work/tour.c" ] || { echo "no C block in $readme"; exit 1; }
cc -std=c99 -Wall -Wextra -pedantic -Werror -I"$include" "$work/tour.c" -L"$libdir" -ltessera -o "$work/tour"
cd "$work"
LD_LIBRARY_PATH="$libdir" ./tour
head -c 2 centre.pgm | grep -q P5
head -c 2 drawing.ppm | grep -q P6
echo "README tour: compiled, ran and wrote its two images"

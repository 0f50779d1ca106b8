#!/bin/sh
# A program that used the library's stateful families exits with nothing of the library's
# still allocated: valgrind reports 0 bytes in use at exit.
# usage: run.sh INCLUDE_DIR LIBRARY_DIR SOURCE DRAWING WORK_DIR
set -eu
include=$1 libdir=$2 source=$3 drawing=$4 work=$5
command -v valgrind >/dev/null || { echo "valgrind is not installed"; exit 77; }
rm -rf "$work"
mkdir -p "$work"
cc -std=c99 -Wall -Wextra -pedantic -Werror -I"$include" "$source" -L"$libdir" -ltessera -o "$work/clean_exit"
LD_LIBRARY_PATH="$libdir" valgrind --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all \
  --error-exitcode=1 "$work/clean_exit" "$drawing" 2> "$work/valgrind.txt"
grep -q "in use at exit: 0 bytes in 0 blocks" "$work/valgrind.txt" || { cat "$work/valgrind.txt"; exit 1; }
echo "clean exit: 0 bytes in use"

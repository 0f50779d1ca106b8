#!/bin/sh
# Compares the dynamic symbols the shared library defines with the list of the public API.
set -eu
lib=$1
expected=$2
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v '^$' | LC_ALL=C sort)
if [ "$actual" = "$(LC_ALL=C sort "$expected")" ]; then
  echo "exported symbols: $(printf '%s\n' "$actual" | wc -l), as listed"
  exit 0
fi
echo "exported symbols differ from $expected:"
printf '%s\n' "$actual" | diff - "$expected" || true
exit 1

#!/bin/sh
# Formats the C and C++ sources with clang-format (.clang-format); with --check, changes
# nothing and fails when a file is not formatted (exit 77 when clang-format is missing).
set -eu
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "clang-format is not installed"; exit 77; }
files=$(git ls-files 'src/*.cpp' 'src/*.h' 'include/*.h' 'include/*.hpp' 'tests/*.cpp' 'tests/*.h' 'tests/*.c' \
  'tools/*.c' 'tools/*.h' 'python/src/*.cpp' 'python/src/*.hpp' 'fuzz/*.cpp' 'fuzz/*.h' 'bench/*.cpp' 'examples/*.c' 'examples/*.cpp' 2>/dev/null || true)
[ -n "$files" ] || { echo "no sources found (not a git checkout?)"; exit 77; }
if [ "${1:-}" = "--check" ]; then
  clang-format --style=file --dry-run -Werror $files
  echo "formatted: $(echo "$files" | wc -w) files"
else
  clang-format --style=file -i $files
fi

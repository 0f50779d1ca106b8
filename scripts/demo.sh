#!/bin/sh
# The main job: builds the library and the tessera tool, renders every example drawing to out/
# (PPM or PBM, and PNG where libpng is available) and describes each result.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh cmake ninja-build g++ pkg-config libpng-dev
cmake --preset release >/dev/null
cmake --build --preset release
tool=build/release/tools/tessera
mkdir -p out
for drawing in examples/drawings/*.ptl examples/drawings/*.cptl; do
  name=$(basename "$drawing")
  stem=${name%.*}
  case $name in
    *.cptl) ext=ppm ;;
    *) ext=pbm ;;
  esac
  $tool render "$drawing" "out/$stem.$ext" --scale 4
  $tool render "$drawing" "out/$stem.png" --scale 4 2>/dev/null || true
  $tool info "out/$stem.$ext"
done
echo "rendered $(ls out | wc -l) files into out/"

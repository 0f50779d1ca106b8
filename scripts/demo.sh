#!/bin/sh
# The main job: builds the library and the tessera tool, renders every example drawing to out/
# (PBM for plain drawings, PPM for colour ones, and PNG beside each)
# and describes each result.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh cmake ninja-build g++ pkg-config libpng-dev libjpeg-dev libtiff-dev libwebp-dev libgif-dev liblcms2-dev
cmake --preset release >/dev/null
cmake --build --preset release
tool=build/release/tools/tessera
mkdir -p out
$tool render --quiet --out-dir out --scale 4 examples/drawings/*.ptl examples/drawings/*.cptl
$tool render --quiet --out-dir out --to png --scale 4 examples/drawings/*.ptl examples/drawings/*.cptl
$tool info out/*.pbm out/*.ppm
echo "rendered $(ls out | wc -l) files into out/; the tool is $tool (see: $tool --help)"

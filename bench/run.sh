#!/bin/sh
# Installs the peer libraries, builds the benchmarks in Release, runs them all and writes the
# table of ratios to docs/performance.md. BENCH_MIN_TIME sets the seconds per benchmark (0.5).
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh cmake ninja-build g++ libbenchmark-dev libboost1.81-dev libopencv-imgproc-dev \
  libnetpbm-dev libstb-dev libgsl-dev libcairo2-dev python3 python3-numpy python3-pil python3-opencv libvips42 libvips-tools libvips-dev \
  libpng-dev libjpeg-dev libtiff-dev libwebp-dev libgif-dev liblcms2-dev
cmake --preset bench >/dev/null
cmake --build --preset bench
out=build/bench/results
mkdir -p "$out"
for b in build/bench/bench/bench_*; do
  name=$(basename "$b")
  echo "running $name"
  # The whole-image rows are compared with limits that the machine's memory sets, which moves
  # from minute to minute here: three repetitions each, interleaved at random, and their medians.
  case "$name" in
    bench_image) repeat="--benchmark_repetitions=3 --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true" ;;
    *) repeat="" ;;
  esac
  "$b" --benchmark_min_time="${BENCH_MIN_TIME:-0.5}" $repeat --benchmark_format=json --benchmark_out="$out/$name.json" \
    --benchmark_out_format=json >/dev/null
done
# The tool on many small files (its table is kept as a note, so it follows the generated ones).
cmake --preset release >/dev/null
cmake --build --preset release
{
  echo "## The tool on many files"
  echo
  echo "\`bench/tool_batch.sh\`: one \`tessera convert --out-dir\` process against a process per file,"
  echo "medians of three interleaved rounds, measured in the same run."
  echo
  sh bench/tool_batch.sh build/release/tools/tessera build/bench/tool-batch 1000 3
  echo
  echo "Most of a process per file is starting it (loading the shared libraries, libpng's setup);"
  echo "the threads of one process share that, and two jobs on two cores add what the PNG encoding"
  echo "leaves to parallel work."
} > bench/notes/tool_batch.md
# Python's threads and the Dask batch (the default build has the Python package).
cmake --preset default >/dev/null
cmake --build --preset default --target _tessera tessera_tool
{
  head -6 bench/notes/python.md
  PYTHONPATH=build/default/python /usr/bin/python3 python/bench/threads.py build/default/tools/tessera build/bench/py 3
  echo
  tail -3 bench/notes/python.md
} > build/bench/python.md
mv build/bench/python.md bench/notes/python.md
# Resize, flips and rotations against Pillow, OpenCV and libvips (its table is kept as a note).
{
  sed -n '1,/^| case/p' bench/notes/geometry.md | sed '$d'
  PYTHONPATH=build/default/python /usr/bin/python3 bench/geometry.py 4
  sed -n '/^- tessera/,$p' bench/notes/geometry.md | sed '1s/^/\n/'
} > build/bench/geometry.md
mv build/bench/geometry.md bench/notes/geometry.md
# PNG, JPEG and TIFF against Pillow and libvips (its table is kept as a note).
{
  sed -n '1,/^2048 x 2048/p' bench/notes/files.md | sed '$d'
  PYTHONPATH=build/default/python /usr/bin/python3 bench/files.py 5
  sed -n '/^Notes:/,$p' bench/notes/files.md | sed '1s/^/\n/'
} > build/bench/files.md
mv build/bench/files.md bench/notes/files.md
# PNG, JPEG and TIFF against libtiff, libpng and libjpeg-turbo used directly (its table is kept as
# a note; bench/png_encode.c's PNG levels are measured by hand, as files_png.md tells).
cmake --build --preset default --target tessera_io
cc -O2 bench/codecs.c -Iinclude -Lbuild/default -ltessera_io -ltessera -ltiff -lpng -ljpeg -lm -o build/bench/codecs
{
  sed -n '1,/^| case/p' bench/notes/files_codecs.md | sed '$d'
  LD_LIBRARY_PATH=build/default build/bench/codecs 5 | sed -n '/^| case/,$p'
  sed -n '/^- Uncompressed/,$p' bench/notes/files_codecs.md | sed '1s/^/\n/'
} > build/bench/files_codecs.md
mv build/bench/files_codecs.md bench/notes/files_codecs.md
# 16-bit files, WebP and RGBA resizing against Pillow and libvips (its table is kept as a note).
{
  sed -n '1,/^One thread/p' bench/notes/photos.md | sed '$d'
  PYTHONPATH=build/default/python /usr/bin/python3 bench/photos.py 7
  sed -n '/^Notes:/,$p' bench/notes/photos.md | sed '1s/^/\n/'
} > build/bench/photos.md
mv build/bench/photos.md bench/notes/photos.md
# Large images: the tool against libvips' tools, a process each (its table is kept as a note).
{
  sed -n '1,/^Medians of/p' bench/notes/large.md | sed '$d'
  PYTHONPATH=build/default/python /usr/bin/python3 bench/large.py build/default/tools/tessera build/bench/large 3
  sed -n '/^Notes:/,$p' bench/notes/large.md | sed '1s/^/\n/'
} > build/bench/large.md
mv build/bench/large.md bench/notes/large.md
python3 bench/report.py "$out" > docs/performance.md
echo "wrote docs/performance.md"

"""Measures loading and rendering from Python on 1 and 2 threads (ThreadPoolExecutor), and
loading, converting and rendering many files with tessera.batch on 1 and 2 Dask worker
processes against the tessera tool run once a file. Prints Markdown tables; medians of
interleaved rounds, each way measured in the same run.

usage: python3 threads.py TOOL WORK_DIR [ROUNDS]
"""
import os
import statistics
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import tessera
from tessera import batch


def make_inputs(work, images=200, drawings=200):
    os.makedirs(work, exist_ok=True)
    rng = np.random.default_rng(1)
    paths = []
    for i in range(images):
        path = os.path.join(work, f"img{i}.ppm")
        tessera.Image.from_array(rng.integers(0, 256, (240, 320, 3), dtype=np.uint8)).save(path)
        paths.append(path)
    drawn = []
    for i in range(drawings):
        d = tessera.Drawing(80, 60, color=True)
        g = tessera.Generator.uniform(0, 80, seed=i + 1)
        for _ in range(30):
            x1, y1, x2, y2 = g.draw(4)
            d.line(x1, y1 * 0.75, x2, y2 * 0.75, size=1.5, color=(i % 256, 120, 200))
        path = os.path.join(work, f"draw{i}.cptl")
        d.save(path)
        drawn.append(path)
    return paths, drawn


def python_work(args):
    image, drawing = args
    im = tessera.load(image)
    small = im.scale(160, 120)
    rendered = tessera.Drawing.load(drawing).render(4, kind="rgb")
    return small.width + rendered.width


def timed(f):
    t = time.perf_counter()
    f()
    return time.perf_counter() - t


def main():
    tool, work = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    images, drawings = make_inputs(work)
    jobs = list(zip(images, drawings))
    times = {1: [], 2: []}
    for _ in range(rounds):
        for n in (1, 2):
            with ThreadPoolExecutor(n) as pool:
                times[n].append(timed(lambda: list(pool.map(python_work, jobs))))
    one, two = statistics.median(times[1]), statistics.median(times[2])
    print(f"| Python: load + scale a 320 x 240 PPM and load + render a drawing at scale 4, {len(jobs)} times "
          "| seconds (median) | speed against 1 thread |")
    print("|---|---|---|")
    print(f"| ThreadPoolExecutor, 1 thread | {one:.3f} | 1.00 |")
    print(f"| ThreadPoolExecutor, 2 threads | {two:.3f} | {one / two:.2f} |")
    print()

    from distributed import Client, LocalCluster

    files = images + drawings
    ways = {}

    def tool_loop():
        for f in images:
            subprocess.run([tool, "convert", f, os.path.join(work, "out-tool", os.path.basename(f)[:-4] + ".png")],
                           check=True)
        for f in drawings:
            subprocess.run([tool, "render", f, os.path.join(work, "out-tool", os.path.basename(f)[:-5] + ".png"),
                            "--scale", "4"], check=True)

    os.makedirs(os.path.join(work, "out-tool"), exist_ok=True)
    ways["the tessera tool, one process a file"] = [timed(tool_loop) for _ in range(rounds)]
    for workers in (1, 2):
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                               dashboard_address=None)
        client = Client(cluster)
        out = os.path.join(work, f"out-{workers}")
        options = dict(batch._options(batch._parser().parse_args(["render", "x", "--to", "png", "--scale", "4"])),
                       out_dir=out)
        os.makedirs(out, exist_ok=True)
        client.submit(lambda: 0).result()  # the workers are up

        def run():
            batch.run("convert", images, options, client, False, True)
            batch.run("render", drawings, options, client, False, True)

        ways[f"tessera.batch, {workers} worker process{'es' if workers > 1 else ''}"] = [timed(run) for _ in
                                                                                           range(rounds)]
        client.close()
        cluster.close()
    base = statistics.median(ways["the tessera tool, one process a file"])
    print(f"| {len(files)} files: {len(images)} PPM to PNG, {len(drawings)} drawings rendered to PNG at scale 4 "
          "| seconds (median) | files per second | speed against the tool |")
    print("|---|---|---|---|")
    for name, t in ways.items():
        m = statistics.median(t)
        print(f"| {name} | {m:.2f} | {len(files) / m:.0f} | {base / m:.2f} |")


if __name__ == "__main__":
    main()

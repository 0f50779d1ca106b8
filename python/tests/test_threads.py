"""Loading, rendering and scaling release the GIL: threads give the same results as one thread.
(Their speed is measured in python/bench_threads.py, not here.)"""
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import tessera


def work(args):
    path, seed = args
    d = tessera.Drawing(64, 48, color=True)
    g = tessera.Generator.uniform(0, 64, seed=seed + 1)  # a seed of 0 would come from the clock
    for _ in range(40):
        x1, y1, x2, y2 = g.draw(4)
        d.line(x1, y1 * 0.75, x2, y2 * 0.75, size=2, color=(seed % 256, 100, 200))
    im = d.render(4, kind="rgb")
    im.save(path)
    back = tessera.load(path).scale(128, 96)
    return np.asarray(back).tobytes()


def test_threads_give_the_same_results_as_one(tmp_path):
    jobs = [(tmp_path / f"t{i}.ppm", i) for i in range(24)]
    alone = [work(j) for j in jobs]
    with ThreadPoolExecutor(4) as pool:
        together = list(pool.map(work, jobs))
    assert together == alone

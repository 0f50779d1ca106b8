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


def test_objects_shared_between_threads_stay_whole(tmp_path):
    """One drawing, generator and histogram used by four threads at once: elements added while
    others render and save, draws and adds that release the GIL. Nothing is lost or torn."""
    d = tessera.Drawing(40, 30, color=True)
    g = tessera.Generator.uniform_int(0, 9, seed=5)
    h = tessera.Histogram(10, 0, 10)

    def use(i):
        for k in range(30):
            d.line(k, 0, 39 - k, 29, size=1, color=(i, k, 0))
            d.render(2, kind="rgb" if k % 2 else "binary")
            h.add(g.draw(1000).astype(float))
        d.save(tmp_path / f"d{i}.cptl")
        return len(d.elements())

    with ThreadPoolExecutor(4) as pool:
        seen = list(pool.map(use, range(4)))
    assert len(d) == 120 and max(seen) == 120
    assert sum(h.bins) == 4 * 30 * 1000  # no add lost to another thread's
    assert len(tessera.Drawing.load(tmp_path / "d0.cptl")) >= 30

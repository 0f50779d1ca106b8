"""Large images through the tool and libvips' tools, each a process of its own, measured with
/usr/bin/time: wall and CPU seconds and peak resident memory, medians of interleaved rounds
(each round starting with the other program), on files made here. Also how far a thumbnail
shrunk as the JPEG is decoded is from the whole decode followed by the same resize.

Usage: python3 bench/large.py TOOL WORK_DIR [ROUNDS] [--no-render]   (tessera importable for the files)
"""
import os
import resource
import statistics
import subprocess
import sys
import time

import numpy as np

import tessera

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from files import photo  # noqa: E402  (one home for the picture)


def timed(argv):
    """Wall s, CPU s, peak MB of one run of argv (time's own start-up, the same for both, included)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    p = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, capture_output=True, text=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if p.returncode != 0:
        raise RuntimeError(f"{argv}: {p.stderr}")
    cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
    return wall, cpu, int(p.stderr.split()[-1]) / 1024


def make_files(work):
    os.makedirs(work, exist_ok=True)
    rng = np.random.default_rng(3)
    jpeg = os.path.join(work, "photo-12000x9000.jpg")
    if not os.path.exists(jpeg):  # a photograph-like picture, made in bands
        big = tessera.Image(12000, 9000, "rgb")
        a = np.asarray(big)
        for y in range(0, 9000, 1500):
            a[y:y + 1500] = photo(rng, 1500, 12000)
        big.save(jpeg, quality=90)
    png = os.path.join(work, "photo-20000x15000.png")
    if not os.path.exists(png):  # the same kind of picture, enlarged by libvips as it streams
        small = os.path.join(work, "photo-2000x1500.png")
        tessera.write(photo(rng, 1500, 2000), small)
        subprocess.run(["vips", "resize", small, png + "[compression=6]", "10", "--kernel", "linear"], check=True)
    return jpeg, png


def speed_and_memory(tool, work):
    """libvips' "speed and memory" benchmark, each library through its C API: a 5,000 x 5,000
    8-bit RGB tiled TIFF loaded, cropped by 100 pixels at every edge, shrunk by 10 % with a
    bilinear filter and saved as TIFF. Returns the two programs and the input."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    lib = os.path.dirname(os.path.dirname(os.path.abspath(tool)))  # the build holding the libraries
    ours, theirs = os.path.join(work, "pipeline_tessera"), os.path.join(work, "pipeline_vips")
    subprocess.run(["cc", "-O2", "-I", os.path.join(root, "include"), "-o", ours,
                    os.path.join(root, "bench", "pipeline_tessera.c"), "-L", lib, "-ltessera_io", "-ltessera",
                    "-Wl,-rpath," + lib], check=True)
    vips = subprocess.run(["pkg-config", "--cflags", "--libs", "vips"], check=True, capture_output=True,
                          text=True).stdout.split()
    subprocess.run(["cc", "-O2", "-o", theirs, os.path.join(root, "bench", "pipeline_vips.c")] + vips, check=True)
    tif = os.path.join(work, "photo-5000x5000-tiled.tif")
    if not os.path.exists(tif):
        png = os.path.join(work, "photo-5000x5000.png")
        tessera.write(photo(np.random.default_rng(5), 5000, 5000), png)
        subprocess.run(["vips", "copy", png, tif + "[tile,tile-width=128,tile-height=128]"], check=True)
    return ours, theirs, tif


DRAWING = """PTL 0 0 500 500
3l\t10 10 490 480
1l\t250 0 250 500
2e\t250 250 200 120
5e\t100 400 60 60
9p\t480 20
0.5l\t0 499.9 500 0.1
"""


def render_in_bands(tool, work):
    """A binary drawing rendered at scale 400 (200,000 x 200,000 pixels) to a tiled, deflated TIFF,
    once: time and peak memory, then sampled tiles checked against whole renderings of their areas."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    lib = os.path.dirname(os.path.dirname(os.path.abspath(tool)))
    checker = os.path.join(work, "render_tiles")
    subprocess.run(["cc", "-O2", "-I", os.path.join(root, "include"), "-o", checker,
                    os.path.join(root, "bench", "render_tiles.c"), "-L", lib, "-ltessera", "-ltiff",
                    "-Wl,-rpath," + lib], check=True)
    drawing, tif = os.path.join(work, "drawing.ptl"), os.path.join(work, "drawing-200000.tif")
    with open(drawing, "w") as f:
        f.write(DRAWING)
    wall, cpu, mb = timed([tool, "render", "--quiet", drawing, tif, "--scale", "400", "--compression", "6"])
    check = subprocess.run([checker, drawing, "400", tif, "200"], capture_output=True, text=True)
    size = os.path.getsize(tif)
    os.remove(tif)
    return wall, cpu, mb, size, (check.stdout + check.stderr).strip()


def main():
    args = [a for a in sys.argv[1:] if a != "--no-render"]  # --no-render: leave out the 200,000² drawing
    tool, work = args[0], args[1]
    rounds = int(args[2]) if len(args) > 2 else 3
    jpeg, png = make_files(work)
    out = lambda name: os.path.join(work, name)  # noqa: E731
    cases = [
        ("thumbnail: 12,000 x 9,000 JPEG to 1,200 wide",
         [tool, "thumbnail", jpeg, out("t.jpg"), "1200", "--filter", "lanczos3"],
         ["vips", "thumbnail", jpeg, out("v.jpg"), "1200"]),
        ("resize: 12,000 x 9,000 JPEG to 1,200 wide (Lanczos-3)",
         [tool, "resize", jpeg, out("r.jpg"), "1200", "--filter", "lanczos3"],
         ["vips", "resize", jpeg, out("vr.jpg"), "0.1", "--kernel", "lanczos3"]),
        ("thumbnail: 20,000 x 15,000 PNG to 1,000 wide",
         [tool, "thumbnail", png, out("t.png"), "1000", "--filter", "lanczos3"],
         ["vips", "thumbnail", png, out("v.png"), "1000"]),
        ("rotate: 12,000 x 9,000 JPEG by 90 degrees",
         [tool, "rotate", jpeg, out("rot.jpg"), "90"],
         ["vips", "rot", jpeg, out("vrot.jpg"), "d90"]),
        ("header: 20,000 x 15,000 PNG (300 megapixels)", [tool, "info", png], ["vipsheader", png]),
        ("header: 12,000 x 9,000 JPEG", [tool, "info", jpeg], ["vipsheader", jpeg]),
    ]
    ours, theirs, tif = speed_and_memory(tool, work)
    cases.append(("speed and memory: 5,000 x 5,000 tiled TIFF, crop, 10 % bilinear shrink, TIFF",
                  [ours, tif, out("sm.tif")], [theirs, tif, out("vsm.tif")]))
    print(f"Medians of {rounds} interleaved rounds, a process each: wall s / CPU s / peak MB")
    print()
    print("| case | tessera | libvips | libvips / tessera, wall (CPU) | tessera / libvips, memory |")
    print("|---|---:|---:|---:|---:|")
    for name, ours, theirs in cases:
        got = {"t": [], "v": []}
        for r in range(rounds):
            order = [("t", ours), ("v", theirs)]
            for key, argv in order if r % 2 == 0 else order[::-1]:
                got[key].append(timed(argv))
        med = {k: [statistics.median(x[i] for x in v) for i in range(3)] for k, v in got.items()}
        t, v = med["t"], med["v"]
        print(f"| {name} | {t[0]:.3f} / {t[1]:.3f} / {t[2]:.0f} | {v[0]:.3f} / {v[1]:.3f} / {v[2]:.0f} | "
              f"{v[0] / t[0]:.2f} ({v[1] / max(t[1], 1e-4):.2f}) | {t[2] / v[2]:.2f} |")
    if "--no-render" not in sys.argv:
        wall, cpu, mb, size, checked = render_in_bands(tool, work)
        print()
        print(f"Rendering a 200,000 x 200,000 binary drawing band by band to a tiled TIFF (deflate): "
              f"{wall:.1f} s wall, {cpu:.1f} s CPU, {mb:.0f} MB peak, {size / 1e6:.1f} MB file. {checked}")
    # how far the shrunk decode is from the whole one followed by the same resize
    shrunk = np.asarray(tessera.thumbnail(jpeg, 1200, filter="lanczos3")).astype(int)
    whole = np.asarray(tessera.load(jpeg).resize(1200, 900, filter="lanczos3")).astype(int)
    d = np.abs(shrunk - whole)
    print()
    print(f"Thumbnail shrunk on decoding against the whole decode and the same resize (1,200 x 900): "
          f"mean difference {d.mean():.2f}, 99th percentile {np.percentile(d, 99):.0f}, largest {d.max()} "
          f"(of 255).")


if __name__ == "__main__":
    main()
